#include <Quorvel/Component.h>

#include <algorithm>

#include <Quorvel/Application.h>
#include <Quorvel/Errors.h>

namespace Quorvel {

namespace {

void Erase(std::vector<TComponent*>& List, const TComponent* Item) {
  List.erase(std::remove(List.begin(), List.end(), Item), List.end());
}

}  // namespace

TComponent::TComponent(TComponent* Owner) : FOwner(Owner) {
  if (FOwner) {
    FState = FOwner->FState & (csLoading | csReading | csDesigning);
    FOwner->FComponents.push_back(TEntry{this, nullptr});
  }
}

TComponent::~TComponent() {
  Destroying();
  while (!FComponents.empty()) {
    // Out of the list before it goes, so that whatever runs during its destruction never finds it.
    TEntry Last = std::move(FComponents.back());
    FComponents.pop_back();
    if (Last.Holder)
      Last.Holder.reset();
    else
      Last.Component->FOwner = nullptr;
  }
  if (FOwner) FOwner->Detach(this);
  while (!FFreeNotifies.empty()) {
    TComponent* Other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    Erase(Other->FFreeNotifies, this);
    try {
      Other->Notification(this, opRemove);
    } catch (...) {
      // A destructor cannot pass it on; the other links must still be undone.
      Application::HandleException(std::current_exception());
    }
  }
}

void TComponent::Destroying() {
  FState |= csDestroying;
  for (TEntry& Entry : FComponents)
    if (Entry.Holder) Entry.Component->Destroying();
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) RaiseErrorFmt(Messages::ListIndex, Index);
  return FComponents[static_cast<std::size_t>(Index)].Component;
}

void TComponent::Adopt(std::unique_ptr<TComponent> Component) {
  TComponent* Raw = Component.get();
  if (Raw->FOwner == this) {
    // Usually the last one attached, unless its constructor attached others after it.
    for (auto It = FComponents.rbegin(); It != FComponents.rend(); ++It) {
      if (It->Component == Raw) {
        It->Holder = std::move(Component);
        return;
      }
    }
  }
  // Its constructor passed another owner (or none) to the base: this one owns it all the same.
  if (Raw->FOwner) Raw->FOwner->Detach(Raw);
  Raw->FOwner = this;
  FComponents.push_back(TEntry{Raw, std::move(Component)});
}

void TComponent::Detach(TComponent* Component) {
  for (auto It = FComponents.begin(); It != FComponents.end(); ++It) {
    if (It->Component == Component) {
      // An owned component is only destroyed by its owner, which has already taken it out of the
      // list; so this is an attached one and there is no holder to release.
      It->Holder.release();
      FComponents.erase(It);
      return;
    }
  }
}

void TComponent::SetStateEverywhere(std::uint8_t Flags, bool Value) {
  if (Value)
    FState |= Flags;
  else
    FState &= static_cast<std::uint8_t>(~Flags);
  for (TEntry& Entry : FComponents) Entry.Component->SetStateEverywhere(Flags, Value);
}

void TComponent::SetDesigning(bool Value) { SetStateEverywhere(csDesigning, Value); }

void TComponent::BeginLoading() { SetStateEverywhere(csLoading | csReading, true); }

void TComponent::EndReading() { SetStateEverywhere(csReading, false); }

void TComponent::EndLoading() {
  EndReading();
  std::exception_ptr FirstError;
  LoadedEverywhere(FirstError);
  if (FirstError) std::rethrow_exception(FirstError);
}

void TComponent::LoadedEverywhere(std::exception_ptr& FirstError) {
  // By index: a Loaded() may create components.
  for (std::size_t I = 0; I < FComponents.size(); ++I) FComponents[I].Component->LoadedEverywhere(FirstError);
  if (!IsLoading()) return;
  try {
    Loaded();
  } catch (...) {
    if (!FirstError) FirstError = std::current_exception();
  }
}

void TComponent::Loaded() { FState &= static_cast<std::uint8_t>(~csLoading); }

void TComponent::FreeNotification(TComponent* Other) {
  if (!Other || Other == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), Other) != FFreeNotifies.end()) return;
  FFreeNotifies.push_back(Other);
  Other->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* Other) {
  if (!Other) return;
  Erase(FFreeNotifies, Other);
  Erase(Other->FFreeNotifies, this);
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace Quorvel
