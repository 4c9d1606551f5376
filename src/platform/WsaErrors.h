#pragma once

#include <QString>

// Windows Sockets error numbers, the numbers the program logs and compares.
namespace Wsa {
inline constexpr int WouldBlock = 10035;
inline constexpr int InProgress = 10036;
inline constexpr int AddrNotAvail = 10049;
inline constexpr int NoAddressSpecified = 1110;
} // namespace Wsa

// errno value -> Windows Sockets number; 0 stays 0. A value the table does not know maps to
// 20000 + errno, outside the range Windows Sockets uses, and keeps its system text.
int WsaFromErrno(int errnoValue);
// getaddrinfo EAI_* value (with errno for EAI_SYSTEM) -> Windows Sockets number; 0 stays 0.
// A value the table does not know maps to 21000 + |value|.
int WsaFromGai(int gaiValue, int errnoValue = 0);
// The system's message text for a Windows Sockets number: strerror / gai_strerror of the code
// it came from. Empty when the number is not one of ours.
QString SystemErrorText(int wsaNumber);
