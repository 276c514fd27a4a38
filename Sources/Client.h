#pragma once
// TModbusClient: talks, as Modbus client, to one server on a connection. Requests return at once
// with a transaction number; the outcome comes back later, on the main thread, through
// ProcessReply.

#include "Component.h"
#include "Transaction.h"
#include "Types.h"

namespace Quorvel {

class TModbusConnection;

class TModbusClient : public TComponent {
 public:
  explicit TModbusClient(TComponent* Owner = nullptr);
  ~TModbusClient() override;

  TModbusConnection* Connection() const noexcept { return FConnection; }
  // Registers with the new connection (once) and asks it for free notification.
  void SetConnection(TModbusConnection* Value);

  // 1..247: a client never broadcasts.
  Byte ServerAddress() const noexcept { return FServerAddress; }
  void SetServerAddress(Byte Value);

  // Raises "There is no active connection" without a connection, or when it is closed, loading
  // or designing.
  void CheckConnection() const;

  // Called by the connection on the main thread with a finished transaction, which it frees
  // afterwards.
  virtual void ProcessReply(TModbusTransaction& Transaction);

 protected:
  void Notification(TComponent* Component, TOperation Operation) override;

 private:
  TModbusConnection* FConnection = nullptr;
  Byte FServerAddress = 1;
};

}  // namespace Quorvel
