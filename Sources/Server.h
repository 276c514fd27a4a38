#pragma once
// TModbusServer: answers requests that arrive on a connection in server mode. The connection's
// worker hands each valid request to HandleRequest on the main thread and sends what it leaves in
// the transaction's reply buffer.

#include "Component.h"
#include "Transaction.h"
#include "Types.h"

namespace Quorvel {

class TModbusConnection;

class TModbusServer : public TComponent {
 public:
  explicit TModbusServer(TComponent* Owner = nullptr);
  ~TModbusServer() override;

  TModbusConnection* Connection() const noexcept { return FConnection; }
  void SetConnection(TModbusConnection* Value);

  // The address this server answers to and writes into its replies.
  Byte ServerAddress() const noexcept { return FServerAddress; }
  void SetServerAddress(Byte Value) { FServerAddress = Value; }

  // Fills Transaction.Reply, or leaves it empty for no answer.
  virtual void HandleRequest(TModbusTransaction& Transaction);

 protected:
  void Notification(TComponent* Component, TOperation Operation) override;

 private:
  TModbusConnection* FConnection = nullptr;
  Byte FServerAddress = 1;
};

}  // namespace Quorvel
