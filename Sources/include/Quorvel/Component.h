#pragma once
/// @file
/// The component base: owner and owned components, a name, the state flags that tell a component
/// what phase of its life it is in, free notification between components that refer to each other,
/// and the end-of-loading hook.
///
/// Ownership. A component may know its owner without being owned by it:
/// - CreateOwned<T>(...) makes a component that this one owns (held by std::unique_ptr) and destroys.
/// - Constructing a component directly with an Owner only attaches it: the caller keeps and destroys it
///   (a member, a local, its own unique_ptr). An attached component still counts among the owner's
///   Components and takes part in its loading and designing, but the owner never frees it; if the
///   owner goes first, the attached component's Owner() becomes null.
/// So nothing can be freed twice, and Owner() never dangles.
///
/// Destruction of an owner: it marks itself and every component it owns (their owned ones too) as
/// destroying, then destroys the owned ones, last created first, then detaches the attached ones, and
/// finally tells every component linked to it by free notification. By then the owner's own subclass
/// part has already been destroyed: owned components must not use it from their destructors.
///
/// The base destructor cannot make calls that reach a subclass (its part is gone), so a subclass that
/// must act while still whole (close a port, stop a thread) does it in its own destructor, and calls
/// Destroying() first if that work depends on IsDestroying().
///
/// Components belong to the main thread; nothing here is safe to call from another thread.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <Quorvel/Export.h>

namespace Quorvel {

/// What Notification tells about a linked component.
enum TOperation : std::uint8_t { opInsert, opRemove };

/// The phases of a component's life (IsLoading, IsReading, IsDesigning, IsDestroying).
enum TComponentStateFlag : std::uint8_t { csLoading = 1, csReading = 2, csDesigning = 4, csDestroying = 8 };

/// The base of connections, clients and servers: ownership, a name, loading and free
/// notification, as the file's description tells.
class QUORVEL_EXPORT TComponent {
 public:
  /// Records Owner and attaches this component to it (see above); a new component takes over its
  /// owner's loading, reading and designing state, so one made while a stored layout is read is read
  /// too.
  ///@{
  explicit TComponent(TComponent* Owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  ///@}

  /// The owner given at construction, or null (also once the owner is gone).
  TComponent* Owner() const { return FOwner; }
  /// A name for the application's own use.
  ///@{
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }
  ///@}

  /// The component's state flags (see TComponentStateFlag).
  ///@{
  bool IsLoading() const { return (FState & csLoading) != 0; }
  bool IsReading() const { return (FState & csReading) != 0; }
  bool IsDesigning() const { return (FState & csDesigning) != 0; }
  bool IsDestroying() const { return (FState & csDestroying) != 0; }
  ///@}

  /// This component and all of its components, at every depth.
  void SetDesigning(bool Value);

  /// Loading a stored layout: BeginLoading() sets loading and reading on this component and all of its
  /// components; the caller sets properties (and may create components, which start loading too);
  /// EndReading() clears reading everywhere; EndLoading() ends reading if that was not done, then
  /// calls Loaded() on each component still loading, the components of a component before the
  /// component itself, in creation order, and on this one last. If a Loaded() throws, the others
  /// still run and the first exception is rethrown at the end.
  ///@{
  void BeginLoading();
  void EndReading();
  void EndLoading();
  ///@}

  /// Links this component and Other both ways: whichever is destroyed first is unlinked, and the other
  /// gets Notification(destroyed one, opRemove). Linking twice, or to oneself or null, does nothing.
  void FreeNotification(TComponent* Other);
  /// Removes the link both ways.
  void RemoveFreeNotification(TComponent* Other);

  /// Makes T(this, Args...) owned by this component. T's constructor takes the owner first.
  ///@{
  template <class T, class... Args>
  T* CreateOwned(Args&&... args) {
    static_assert(std::is_base_of_v<TComponent, T>, "only components can be owned");
    auto Component = std::make_unique<T>(this, std::forward<Args>(args)...);
    T* Result = Component.get();
    Adopt(std::move(Component));
    return Result;
  }
  ///@}

  /// The components whose owner this is, owned or attached, in creation order. Index out of range
  /// raises EQuorvelError "List index out of bounds (%d)".
  ///@{
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  /// The component at Index.
  TComponent* Components(int Index) const;
  ///@}

 protected:
  /// End of loading. The base clears the loading flag; an override calls it first, then applies what it
  /// remembered while being read.
  virtual void Loaded();
  /// Told that Component, linked by FreeNotification, is being destroyed (opRemove). The link is
  /// already gone; Component's own subclass part is too, so only use it as an identity. The framework
  /// sends no opInsert.
  virtual void Notification(TComponent* Component, TOperation Operation);
  /// Marks this component and every component it owns, at every depth, as destroying.
  void Destroying();

 private:
  struct TEntry {
    TComponent* Component;
    std::unique_ptr<TComponent> Holder;  ///< empty for an attached component
  };

  void Adopt(std::unique_ptr<TComponent> Component);
  void Detach(TComponent* Component);
  void SetStateEverywhere(std::uint8_t Flags, bool Value);
  void LoadedEverywhere(std::exception_ptr& FirstError);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::uint8_t FState = 0;
  std::vector<TEntry> FComponents;
  std::vector<TComponent*> FFreeNotifies;
};

}  // namespace Quorvel
