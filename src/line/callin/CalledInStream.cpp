#include "line/callin/CalledInStream.h"

#include <unistd.h>

void TCalledInStream::Close(std::chrono::milliseconds drain)
{
    if (Descriptor() < 0)
        return;
    Drain(drain);
    const bool alive = !Lost();
    const int fd = Release();
    if (TCallInListener *listener = TCallInListener::Current())
        listener->GiveBack(FPath, FNumber, fd, alive);
    else
        ::close(fd);
}
