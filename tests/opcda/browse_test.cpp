// Browsing against servers that misbehave: continuation points of growing length (counted with
// an IMallocSpy), points handed out twice, enumerators that answer S_OK without names, address
// spaces 10,000 levels deep or with a branch inside itself, and the failure messages. Every walk
// runs on a thread with a host's 1 MB stack and a time limit.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <set>

#include "opcda/browse.h"
#include "opcda/format_result.h"
#include "proxy_suite.h"
#include "support/host_thread.h"
#include "util/exception.h"

namespace krelta {
namespace {

using testing::HasEntry;
using testing::LogEntry;

// Counts the task-allocator blocks that one thread allocates and nobody frees.
class BlockCounter final : public IMallocSpy {
 public:
  std::size_t Live() {
    std::lock_guard<std::mutex> guard(lock_);
    return live_.size();
  }
  std::size_t Allocated() const { return allocated_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = static_cast<IMallocSpy*>(this);  // asked for IMallocSpy only
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override {
    Track(block);
    return block;
  }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
    Forget(block);
    return block;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** newBlock, BOOL) override {
    Forget(block);
    *newBlock = block;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override {
    Track(block);
    return block;
  }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}

 private:
  void Track(void* block) {
    if (block == nullptr || ::GetCurrentThreadId() != thread_) return;
    std::lock_guard<std::mutex> guard(lock_);
    live_.insert(block);
    ++allocated_;
  }
  void Forget(void* block) {
    std::lock_guard<std::mutex> guard(lock_);
    live_.erase(block);
  }

  const DWORD thread_ = ::GetCurrentThreadId();
  std::mutex lock_;
  std::set<void*> live_;
  std::size_t allocated_ = 0;
};

struct Walk {
  std::unique_ptr<BrowseTree> tree;
  bool noBranches = true;  // true going in: each walk sets both flags afresh
  bool browseError = true;
};

class Browse : public testing::ProxySuite {
 protected:
  std::vector<ItemRecord> Items(const char* url, const std::string& itemId, const std::string& path) {
    auto proxy = Configured(url);
    std::vector<ItemRecord> items;
    testing::RunOnHostThread([&] { items = GetItems(*proxy, itemId, path); });
    return items;
  }
  static Walk Branches(const char* url) {
    Walk walk;
    testing::RunOnHostThread([&] {
      walk.tree = BrowseServerBranches(OPCServerInfo{L"", L"", L"", OPCURL(url)}, walk.noBranches,
                                       walk.browseError);
    });
    return walk;
  }
};

TEST_F(Browse, ContinuationPointsOfGrowingLengthAreFreedOnceAndEveryItemCollectedOnce) {
  ASSERT_EQ(Control()->GenerateAddressSpace(2, 40), S_OK);
  Control()->SetFault(SIM_FAULT_BROWSE_PAGE, 10);        // four pages: three points
  Control()->SetFault(SIM_FAULT_CONTINUATION_GROWS, 1);  // of 8, 64 and 300 characters
  // The listing on this thread, so the spy sees its blocks.
  com::ComPtr<IOPCServer> server;
  ASSERT_EQ(::CoCreateInstance(CLSID_KreltaSimulatorDA3, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(server.GetAddressOf())),
            S_OK);
  const LogSink sink = [this](std::int32_t level, const std::string& m) { log_.Write(level, m); };
  ASSERT_EQ(ListBranchItems(server.Get(), "B0000", "", ".", sink).size(), 40u);  // marshals once
  const LONG calls = Count(SIM_COUNTER_BROWSE_CALLS);
  BlockCounter spy;
  ASSERT_EQ(::CoRegisterMallocSpy(&spy), S_OK);
  const std::vector<ItemRecord> items = ListBranchItems(server.Get(), "B0001", "", ".", sink);
  ::CoRevokeMallocSpy();
  EXPECT_EQ(Count(SIM_COUNTER_BROWSE_CALLS) - calls, 4);  // one per page
  std::set<std::string> ids;
  for (const ItemRecord& item : items) ids.insert(item.itemId);
  EXPECT_EQ(items.size(), 40u);
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(*ids.begin(), "B0001.I00000");
  EXPECT_GT(spy.Allocated(), 40u);
  EXPECT_EQ(spy.Live(), 0u);
}

TEST_F(Browse, APointHandedOutTwiceEndsTheWalkWithWhatWasCollected) {
  ASSERT_EQ(Control()->GenerateAddressSpace(3, 50), S_OK);
  Control()->SetFault(SIM_FAULT_BROWSE_PAGE, 10);
  Control()->SetFault(SIM_FAULT_CONTINUATION_REPEATS, 2);  // points 1, 2, then 1 again
  EXPECT_EQ(Items(testing::kSimulatorDA3Url, "B0002", "").size(), 30u);
  const std::string repeated = "IOPCBrowse::Browse returned the continuation point 'krelta-cp-";
  EXPECT_TRUE(testing::CountStartingWith(Connection(), "Error", repeated));

  Control()->SetFault(SIM_FAULT_BROWSE_PAGE, 1);
  Control()->SetFault(SIM_FAULT_CONTINUATION_REPEATS, 1);
  const Walk walk = Branches(testing::kSimulatorDA3Url);
  EXPECT_EQ(walk.tree->Top()->children.size(), 2u);
  EXPECT_TRUE(walk.browseError);
  EXPECT_TRUE(testing::CountStartingWith(Opcda(), "Error", repeated));
}

TEST_F(Browse, AnEnumeratorAnsweringSOkWithoutNamesEndsTheWalkWithWhatWasCollected) {
  Load(L"branch A\nitem X R8 1\nitem Y R8 2\nbranch A.B\nbranch A.C\n");
  Control()->SetFault(SIM_FAULT_ENUM_EMPTY_OK, 1);
  const std::vector<ItemRecord> items = Items(testing::kSimulatorDA2Url, "", "A");
  EXPECT_EQ(items, (std::vector<ItemRecord>{{"X", "A.X"}, {"Y", "A.Y"}}));
  const std::string message =
      "IEnumString::Next answered S_OK without a name; the enumeration ends with the names received.";
  EXPECT_TRUE(HasEntry(Connection(), "Error", message));

  const Walk walk = Branches(testing::kSimulatorDA2Url);
  ASSERT_EQ(walk.tree->Nodes().size(), 4u);  // top, A, B, C
  EXPECT_TRUE(walk.browseError);
  EXPECT_TRUE(HasEntry(Opcda(), "Error", message));
}

TEST_F(Browse, DeepAndSelfListingAddressSpacesEndAtTheDepthBound) {
  Load(L"item Top R8 1\n");
  Control()->SetFault(SIM_FAULT_DEEP_CHAIN, 10000);
  for (const char* url : {testing::kSimulatorDA3Url, testing::kSimulatorDA2Url}) {
    const Walk walk = Branches(url);
    EXPECT_EQ(walk.tree->Nodes().size(), kMaxBranchDepth + 1) << url;
    EXPECT_TRUE(walk.browseError);
    EXPECT_FALSE(walk.noBranches);
  }
  std::vector<LogEntry> opcda = Opcda();
  EXPECT_TRUE(HasEntry(opcda, "Error", "The branch 'Deep#256' lies 256 levels deep; its sub-branches are not browsed."));
  EXPECT_TRUE(HasEntry(opcda, "Error", "The branch 'Deep' lies 256 levels deep; its sub-branches are not browsed."));
  std::string deepPath = "Deep";
  for (int i = 1; i < 300; ++i) deepPath += ".Deep";
  EXPECT_TRUE(Items(testing::kSimulatorDA2Url, "", deepPath).empty());
  EXPECT_TRUE(testing::CountStartingWith(Connection(), "Error", "The branch 'Deep.Deep."));

  Control()->ClearFaults();
  Load(L"branch A\nitem X R8 1\n");
  Control()->SetFault(SIM_FAULT_SELF_LISTING, 1);
  Walk walk = Branches(testing::kSimulatorDA3Url);
  EXPECT_EQ(walk.tree->Nodes().size(), 2u);  // top and A
  EXPECT_TRUE(HasEntry(Opcda(), "Error", "IOPCBrowse::Browse lists the branch 'A' inside itself; it is not browsed again."));
  walk = Branches(testing::kSimulatorDA2Url);
  EXPECT_EQ(walk.tree->Nodes().size(), kMaxBranchDepth + 1);
  EXPECT_TRUE(HasEntry(Opcda(), "Error", "The branch 'A' lies 256 levels deep; its sub-branches are not browsed."));

  // A sound walk after these reports neither flag.
  Control()->ClearFaults();
  walk = Branches(testing::kSimulatorDA3Url);
  EXPECT_FALSE(walk.browseError);
  EXPECT_FALSE(walk.noBranches);
}

TEST_F(Browse, FailuresOfTheBrowseCallsAreLoggedWithTheirMessages) {
  Load(L"branch A\nitem X R8 1\n");
  Control()->SetFault(SIM_FAULT_BROWSE_RESULT, E_FAIL);
  const std::string failed = FormatResult(E_FAIL);
  Walk walk = Branches(testing::kSimulatorDA2Url);
  EXPECT_EQ(walk.tree->Top(), nullptr);
  EXPECT_TRUE(walk.browseError);
  EXPECT_FALSE(walk.noBranches);
  walk = Branches(testing::kSimulatorDA3Url);
  EXPECT_TRUE(walk.tree->Top()->children.empty());
  EXPECT_TRUE(walk.browseError);
  EXPECT_TRUE(walk.noBranches);
  const std::vector<LogEntry> opcda = Opcda();
  EXPECT_TRUE(HasEntry(opcda, "Error", "IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_TO) failed: " + failed));
  EXPECT_TRUE(HasEntry(opcda, "Error", "IOPCBrowse::Browse failed: " + failed));

  EXPECT_TRUE(Items(testing::kSimulatorDA2Url, "", "A").empty());
  const std::vector<LogEntry> connection = Connection();
  EXPECT_TRUE(HasEntry(connection, "Error",
                       "IOPCBrowseServerAddressSpace::ChangeBrowsePosition(OPC_BROWSE_TO root) failed: " + failed));
  EXPECT_TRUE(HasEntry(connection, "Error", "IOPCBrowseServerAddressSpace::BrowseOPCItemIDs failed: " + failed));
}

}  // namespace
}  // namespace krelta
