#include <winsock2.h>
#include <windows.h>

#include "platform/last_error.h"

namespace platform {

int LastSystemError() { return static_cast<int>(GetLastError()); }
int LastSocketError() { return WSAGetLastError(); }
void SetLastSystemError(int error) { SetLastError(static_cast<DWORD>(error)); }

}  // namespace platform
