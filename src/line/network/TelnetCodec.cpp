#include "line/network/TelnetCodec.h"

#include <cstring>

namespace
{

constexpr unsigned char IAC = 255;
constexpr unsigned char DONT = 254;
constexpr unsigned char DO = 253;
constexpr unsigned char WONT = 252;
constexpr unsigned char WILL = 251;
constexpr unsigned char SB = 250;
constexpr unsigned char SE = 240;

constexpr unsigned char BINARY = 0;
constexpr unsigned char SGA = 3;
constexpr unsigned char COM_PORT = 44;

bool WeAccept(unsigned char option)
{
    return option == BINARY || option == SGA || option == COM_PORT;
}

bool TheyMay(unsigned char option)
{
    return option == BINARY || option == SGA;
}

void Put(QByteArray &out, unsigned char verb, unsigned char option)
{
    out.append(char(IAC)).append(char(verb)).append(char(option));
}

QByteArray Command(unsigned char command, const QByteArray &value)
{
    QByteArray out;
    out.append(char(IAC)).append(char(SB)).append(char(COM_PORT)).append(char(command));
    TTelnetCodec::EncodeData(value.constData(), value.size(), out);
    out.append(char(IAC)).append(char(SE));
    return out;
}

} // namespace

QByteArray TTelnetCodec::Greeting()
{
    QByteArray out;
    for (unsigned char option : {COM_PORT, BINARY, SGA}) {
        FLocal[option] = true;
        Put(out, WILL, option);
    }
    for (unsigned char option : {BINARY, SGA}) {
        FRemote[option] = true;
        Put(out, DO, option);
    }
    return out;
}

void TTelnetCodec::Decode(const char *bytes, qsizetype size, QByteArray &data, QByteArray &replies)
{
    for (qsizetype i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (FState) {
        case TState::Data: {
            // Plain data runs up to the next IAC, and goes out in one piece.
            const void *iac = std::memchr(bytes + i, IAC, size_t(size - i));
            const qsizetype end = iac ? static_cast<const char *>(iac) - bytes : size;
            data.append(bytes + i, end - i);
            i = end;
            if (end < size)
                FState = TState::Iac;
            break;
        }
        case TState::Iac:
            FState = TState::Data;
            if (c == IAC)
                data.append(char(c));
            else if (c == WILL)
                FState = TState::Will;
            else if (c == WONT)
                FState = TState::Wont;
            else if (c == DO)
                FState = TState::Do;
            else if (c == DONT)
                FState = TState::Dont;
            else if (c == SB)
                FState = TState::Sub;
            // Any other command (NOP, data mark, break, go-ahead, ...) carries nothing for us.
            break;
        case TState::Will:
        case TState::Wont:
        case TState::Do:
        case TState::Dont:
            Negotiate(FState, c, replies);
            FState = TState::Data;
            break;
        // The server's subnegotiations are its COM port answers and notifications (commands
        // numbered from 100): nothing in them changes what the line carries, so they are
        // skipped up to their IAC SE.
        case TState::Sub:
            if (c == IAC)
                FState = TState::SubIac;
            break;
        case TState::SubIac:
            if (c == IAC) {
                FState = TState::Sub; // a doubled 0xFF of the value
            } else if (c == SE) {
                FState = TState::Data;
            } else {
                // A command inside a subnegotiation ends it unfinished; the command counts.
                FState = TState::Iac;
                --i;
            }
            break;
        }
    }
}

void TTelnetCodec::Negotiate(TState verb, unsigned char option, QByteArray &replies)
{
    switch (verb) {
    case TState::Will:
        if (FRemote[option])
            break;
        if (TheyMay(option)) {
            FRemote[option] = true;
            Put(replies, DO, option);
        } else {
            Put(replies, DONT, option);
        }
        break;
    case TState::Wont:
        if (FRemote[option]) {
            FRemote[option] = false;
            Put(replies, DONT, option);
        }
        break;
    case TState::Do:
        if (!FLocal[option]) {
            FLocal[option] = WeAccept(option);
            Put(replies, FLocal[option] ? WILL : WONT, option);
        }
        if (option == COM_PORT && FLocal[option])
            FComPort = TComPort::Accepted;
        break;
    case TState::Dont:
        if (option == COM_PORT)
            FComPort = TComPort::Refused;
        if (FLocal[option]) {
            FLocal[option] = false;
            Put(replies, WONT, option);
        }
        break;
    default:
        break;
    }
}

void TTelnetCodec::EncodeData(const char *bytes, qsizetype size, QByteArray &out)
{
    out.reserve(out.size() + size);
    for (qsizetype i = 0; i < size; ++i) {
        out.append(bytes[i]);
        if (static_cast<unsigned char>(bytes[i]) == IAC)
            out.append(bytes[i]);
    }
}

QByteArray TTelnetCodec::SetBaudRate(std::uint32_t baudRate)
{
    QByteArray value(4, '\0');
    for (int i = 0; i < 4; ++i)
        value[i] = char((baudRate >> (8 * (3 - i))) & 0xFF);
    return Command(1, value);
}

QByteArray TTelnetCodec::ComPortCommand(TComPortCommand command, std::uint8_t value)
{
    return Command(std::uint8_t(command), QByteArray(1, char(value)));
}
