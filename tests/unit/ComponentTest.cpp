#include <Quorvel/Component.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <Quorvel/Errors.h>

using namespace Quorvel;

namespace {

using TLog = std::vector<std::string>;

// Logs what happens to it. Hook runs first in its destructor; Linked is nulled when that one goes;
// Active is remembered while reading and applied once loaded, as a stored connection does.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* Owner, const std::string& Name, TLog* Log) : TComponent(Owner), FLog(Log) { SetName(Name); }
  ~TProbe() override {
    if (Hook) Hook();
    FLog->push_back("destroy " + Name());
  }
  void SetActive(bool Value) { (IsReading() ? FStreamedActive : Active) = Value; }
  std::function<void()> Hook;
  TComponent* Linked = nullptr;
  bool Active = false;
  bool ThrowOnLoaded = false;

 protected:
  void Loaded() override {
    TComponent::Loaded();
    FLog->push_back("loaded " + Name() + (IsLoading() || IsReading() ? " too early" : ""));
    if (ThrowOnLoaded) throw std::runtime_error("load failed: " + Name());
    SetActive(FStreamedActive);
  }
  void Notification(TComponent* Component, TOperation Operation) override {
    FLog->push_back("told " + Name() + (Operation == opRemove ? " remove" : " insert"));
    if (Operation == opRemove && Component == Linked) Linked = nullptr;
  }

 private:
  TLog* FLog;
  bool FStreamedActive = false;
};

}  // namespace

TEST(Component, OwnerMarksEverythingDestroyingThenDestroysLastCreatedFirst) {
  TLog Log;
  auto Form = std::make_unique<TProbe>(nullptr, "Form", &Log);
  TProbe* Owner = Form.get();
  auto* A = Form->CreateOwned<TProbe>("A", &Log);
  auto* B = Form->CreateOwned<TProbe>("B", &Log);
  auto* B1 = B->CreateOwned<TProbe>("B1", &Log);
  auto* C = Form->CreateOwned<TProbe>("C", &Log);
  ASSERT_EQ(Form->ComponentCount(), 3);
  EXPECT_EQ(Form->Components(1), B);
  EXPECT_THROW(Form->Components(3), EQuorvelError);
  bool AllMarked = false;
  C->Hook = [&] {
    AllMarked = Owner->IsDestroying() && A->IsDestroying() && B->IsDestroying() && B1->IsDestroying();
  };
  Form.reset();
  EXPECT_TRUE(AllMarked);
  EXPECT_EQ(Log, (TLog{"destroy Form", "destroy C", "destroy B", "destroy B1", "destroy A"}));
}

TEST(Component, AnAttachedComponentIsNeverFreedByItsOwner) {
  TLog Log;
  auto Form = std::make_unique<TProbe>(nullptr, "Form", &Log);
  TProbe Outlives(Form.get(), "Outlives", &Log);
  { TProbe Short(Form.get(), "Short", &Log); }
  EXPECT_EQ(Form->ComponentCount(), 1);  // the destroyed one left the list
  Form.reset();
  EXPECT_EQ(Outlives.Owner(), nullptr);
  EXPECT_FALSE(Outlives.IsDestroying());
  EXPECT_EQ(Log, (TLog{"destroy Short", "destroy Form"}));
}

TEST(Component, FreeNotificationWorksWhicheverSideGoesFirst) {
  TLog Log;
  auto Client = std::make_unique<TProbe>(nullptr, "Client", &Log);
  auto Connection = std::make_unique<TProbe>(nullptr, "Connection", &Log);
  Client->Linked = Connection.get();
  Connection->FreeNotification(Client.get());
  Connection->FreeNotification(Client.get());  // linked once only
  Connection.reset();
  EXPECT_EQ(Client->Linked, nullptr);
  // The client goes first: the connection is told and later never calls into the freed client.
  Connection = std::make_unique<TProbe>(nullptr, "Connection", &Log);
  Client->FreeNotification(Connection.get());
  Client.reset();
  // An undone link tells nobody.
  TProbe Other(nullptr, "Other", &Log);
  Other.FreeNotification(Connection.get());
  Connection->RemoveFreeNotification(&Other);
  Connection.reset();
  EXPECT_EQ(Log, (TLog{"destroy Connection", "told Client remove", "destroy Client", "told Connection remove",
                       "destroy Connection"}));
}

TEST(Component, ASiblingIsToldWhileTheOwnerDestroysThem) {
  TLog Log;
  auto Form = std::make_unique<TProbe>(nullptr, "Form", &Log);
  auto* Client = Form->CreateOwned<TProbe>("Client", &Log);
  auto* Connection = Form->CreateOwned<TProbe>("Connection", &Log);
  Client->Linked = Connection;
  Client->FreeNotification(Connection);
  bool Cleared = false;
  Client->Hook = [&] { Cleared = Client->Linked == nullptr; };
  Form.reset();
  EXPECT_TRUE(Cleared);
  EXPECT_EQ(Log, (TLog{"destroy Form", "destroy Connection", "told Client remove", "destroy Client"}));
}

TEST(Component, LoadingReadsFirstThenLoadsEachComponentBeforeItsOwner) {
  TLog Log;
  TProbe Form(nullptr, "Form", &Log);
  auto* Early = Form.CreateOwned<TProbe>("Early", &Log);
  Form.BeginLoading();
  EXPECT_TRUE(Early->IsLoading() && Early->IsReading());
  auto* Late = Form.CreateOwned<TProbe>("Late", &Log);  // made while reading: reading too
  auto* Nested = Late->CreateOwned<TProbe>("Nested", &Log);
  EXPECT_TRUE(Nested->IsReading());
  Late->SetActive(true);
  EXPECT_FALSE(Late->Active);
  Form.EndReading();
  EXPECT_TRUE(Late->IsLoading() && !Late->IsReading());
  Form.EndLoading();
  EXPECT_TRUE(Late->Active);
  EXPECT_EQ(Log, (TLog{"loaded Early", "loaded Nested", "loaded Late", "loaded Form"}));
  Form.EndLoading();  // nothing is loading any more: nobody is loaded twice
  EXPECT_EQ(Log.size(), 4u);
}

TEST(Component, EndLoadingEndsReadingAndLoadsEveryoneDespiteAFailure) {
  TLog Log;
  TProbe Form(nullptr, "Form", &Log);
  auto* A = Form.CreateOwned<TProbe>("A", &Log);
  auto* B = Form.CreateOwned<TProbe>("B", &Log);
  A->ThrowOnLoaded = B->ThrowOnLoaded = true;
  Form.SetDesigning(true);
  EXPECT_TRUE(Form.CreateOwned<TProbe>("C", &Log)->IsDesigning());
  Form.BeginLoading();
  try {
    Form.EndLoading();  // without EndReading
    FAIL() << "no exception";
  } catch (const std::runtime_error& E) {
    EXPECT_STREQ(E.what(), "load failed: A");
  }
  EXPECT_EQ(Log, (TLog{"loaded A", "loaded B", "loaded C", "loaded Form"}));
  EXPECT_FALSE(B->IsLoading() || B->IsReading() || Form.IsLoading());
  EXPECT_TRUE(B->IsDesigning());
}
