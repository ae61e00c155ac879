#pragma once

// Line speeds that have no B-constant in <termios.h> (14400, 28800, 56000, ...), set and read
// through the kernel's termios2 interface.
namespace SerialTermios2
{

// Sets both directions of the open terminal to the given speed in bits per second with BOTHER,
// leaving every other setting as it is. False (errno set) when the driver refuses.
bool SetSpeed(int fd, int baudRate);
// Reads the speeds the driver holds now, whatever way they were set.
bool GetSpeed(int fd, unsigned &inputSpeed, unsigned &outputSpeed);

} // namespace SerialTermios2
