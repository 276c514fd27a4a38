#include "Server.h"

#include "Connection.h"

namespace Quorvel {

TModbusServer::TModbusServer(TComponent* Owner) : TComponent(Owner) {}

TModbusServer::~TModbusServer() { SetConnection(nullptr); }

void TModbusServer::SetConnection(TModbusConnection* Value) {
  if (Value == FConnection) return;
  if (FConnection != nullptr) {
    FConnection->UnregisterServer(this);
    RemoveFreeNotification(FConnection);
  }
  FConnection = Value;
  if (FConnection != nullptr) {
    FConnection->RegisterServer(this);
    FreeNotification(FConnection);
  }
}

void TModbusServer::Notification(TComponent* Component, TOperation Operation) {
  TComponent::Notification(Component, Operation);
  if (Operation == opRemove && Component == FConnection) FConnection = nullptr;
}

void TModbusServer::HandleRequest(TModbusTransaction& /*Transaction*/) {}

}  // namespace Quorvel
