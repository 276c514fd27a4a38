#include "Client.h"

#include "Connection.h"
#include "Errors.h"

namespace Quorvel {

TModbusClient::TModbusClient(TComponent* Owner) : TComponent(Owner) {}

TModbusClient::~TModbusClient() { SetConnection(nullptr); }

void TModbusClient::SetConnection(TModbusConnection* Value) {
  if (Value == FConnection) return;
  if (FConnection != nullptr) {
    FConnection->UnregisterClient(this);
    RemoveFreeNotification(FConnection);
  }
  FConnection = Value;
  if (FConnection != nullptr) {
    FConnection->RegisterClient(this);
    FreeNotification(FConnection);
  }
}

void TModbusClient::Notification(TComponent* Component, TOperation Operation) {
  TComponent::Notification(Component, Operation);
  // The connection is going away; it no longer has a client list to leave.
  if (Operation == opRemove && Component == FConnection) FConnection = nullptr;
}

void TModbusClient::SetServerAddress(Byte Value) {
  if (Value == FServerAddress) return;
  if (Value < 1 || Value > 247) RaiseErrorFmt(Messages::ValueRange, 1, 247);
  FServerAddress = Value;
}

void TModbusClient::CheckConnection() const {
  if (FConnection == nullptr || !FConnection->Active() || FConnection->IsLoading() || FConnection->IsDesigning())
    RaiseError(Messages::NoConnection);
}

void TModbusClient::ProcessReply(TModbusTransaction& /*Transaction*/) { CheckConnection(); }

}  // namespace Quorvel
