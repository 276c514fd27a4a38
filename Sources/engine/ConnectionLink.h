#pragma once
// What clients and servers share in their link to a connection. Not part of the public API.

#include <Quorvel/Connection.h>
#include <Quorvel/Errors.h>
#include "runtime/MainThreadOnly.h"

namespace Quorvel {

// Moves User's link from Current to Value: leaves the old connection's list, joins the new one's
// (once), and follows it by free notification so that a destroyed connection is forgotten. The
// lists are the main thread's: a call from another thread is refused before anything changes.
template <class TUser>
void LinkConnection(TUser& User, TModbusConnection*& Current, TModbusConnection* Value,
                    void (TModbusConnection::*Register)(TUser*), void (TModbusConnection::*Unregister)(TUser*)) {
  if (Value == Current) return;
  RequireMainThread("SetConnection");
  if (Current != nullptr) {
    (Current->*Unregister)(&User);
    User.RemoveFreeNotification(Current);
  }
  Current = Value;
  if (Current != nullptr) {
    (Current->*Register)(&User);
    User.FreeNotification(Current);
  }
}

// A client or server can use its connection only while it is open, loaded and not designed.
inline void CheckUsableConnection(const TModbusConnection* Connection) {
  if (Connection == nullptr || !Connection->Active() || Connection->IsLoading() || Connection->IsDesigning())
    RaiseError(Messages::NoConnection);
}

}  // namespace Quorvel
