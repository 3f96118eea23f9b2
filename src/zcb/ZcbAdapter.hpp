// Serial port adapter: the one UART to the coordinator coprocessor.
//
// Opens the device node raw at 115200 baud 8N1, reads whatever is waiting without
// ever blocking, writes whole frames, and reopens the port when it is found closed.
// It knows nothing of frames; the message driver is its only user.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kZcbDevicePathSize = 32;

// With open_now: kZZcbA_Uart_Reopen(path). Otherwise stores the path (when given) and
// returns 0; the first read or write opens the port.
int32_t kZZcbA_Uart_Init(const char *path, bool open_now);
// Closes any open descriptor and opens the stored (or given, cut to 31 characters)
// path, "/dev/ttyS0" when the stored path is empty; raw 115200 8N1. 0 or -101
// (nothing left open).
int32_t kZZcbA_Uart_Reopen(const char *path);
// Bytes read (> 0); 0 when nothing waits (never blocks); -1 when closed and not
// reopenable, or when the read fails or finds the line hung up (errno tells which);
// the caller reopens on a negative result.
int32_t kZZcbA_Uart_Read(uint8_t *buffer, size_t capacity);
// 0 when every byte went out in one write; -999 otherwise (0 for an empty write on a
// port that cannot be opened).
int32_t kZZcbA_Uart_Write(const uint8_t *bytes, size_t length);
// Closes the descriptor if open; 0.
int32_t kZZcbA_Uart_Close();

// The open descriptor or -1 (the driver's reader waits on it for readability).
int kZZcbA_Uart_Fd();
// The stored device path.
const char *kZZcbA_Uart_Path();
// Closes the port and forgets the path (tests start clean).
void kZZcbA_Uart_Reset();
