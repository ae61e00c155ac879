#include "line/network/ByteStream.h"

#include "platform/Deadline.h"

#include <poll.h>

bool TByteStream::WaitReadable(const TDeadline &deadline) const
{
    return HasBuffered() || Lost() || WaitForDescriptor(Descriptor(), POLLIN, deadline) != 0;
}

void TByteStream::SetLost(TResult why)
{
    if (FLost)
        return;
    FFailure = std::move(why);
    FLost = true;
}
