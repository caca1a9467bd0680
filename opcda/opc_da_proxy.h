// The client of one OPC Data Access server as the connection sees it: server creation on the
// configured host (optionally as another Windows user), one private group, the shutdown sink,
// item registration, reads, writes, the item listing and the teardown.
//
// The session itself lives on a thread of its own (OpcDaSession on a SessionThread): every
// operation here is handed to that thread, and the caller waits for the answer as long as the
// thread keeps completing server calls, giving up only when one call has been under way longer
// than the call bound. Such a server costs the caller the bound once: the session is abandoned
// (its thread finishes the stuck call, lets go and ends by itself), later reads and writes fail
// at once, and a new session is opened on the retry schedule, on its own thread: the read that
// finds a reopen due does not wait for it. At most kMaxStuckCalls threads of the process wait in
// calls to one server or open sessions of it: no session of it is opened while that many are
// stuck, a further open waits while they are still opening, and a close asks nothing of a server
// that has that many calls stuck. A caller in a single-threaded apartment keeps dispatching its
// messages while it waits.
//
// An OpcDaProxy belongs to its connection's thread of the moment: it is not shared between
// threads at once.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opc_da.h"
#include "opcda/browse.h"
#include "opcda/create_instance.h"
#include "opcda/group_subscription.h"
#include "opcda/ping_host.h"
#include "opcda/reconnect_schedule.h"
#include "opcda/slim_sync.h"

namespace krelta {

class LogFile;
class LogRelay;
class OpcDaSession;
class SessionThread;
class ValueMatrix;
class ValueVector;
struct NodeGroupEntry;

// Where each entry of a request finds its value: the distinct server handles of the request's
// registered items, in order of first use, and per entry the index of its handle (kNoSlot for a
// tag that has none).
struct ServerHandleSlots {
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;
  std::vector<OPCHANDLE> handles;
  std::vector<std::uint32_t> slotOfEntry;
};
ServerHandleSlots CollectServerHandles(const std::vector<NodeGroupEntry>& entries);

// The RPC-level results of a call whose server process is gone (ended, killed, unreachable).
bool IsServerGone(HRESULT hr);

constexpr const char* kGroupName = "KRELTAGroup";
constexpr std::uint32_t kUpdateRateSeconds = 5;
// The default bound of every call into the server; zero waits as long as the server takes.
constexpr std::chrono::seconds kDefaultCallTimeout{15};

// How an operation handed to the session thread came out: answered; closed (no session, or it
// closed before or during the operation: the answer is not used); or not answered within the
// bound (the session was abandoned; call names the server call that did not return).
template <typename Answer>
struct SessionOutcome {
  enum Kind { kAnswered, kClosed, kNoAnswer } kind = kClosed;
  std::optional<Answer> answer;  // kAnswered
  const char* call = nullptr;    // kNoAnswer
  bool Answered() const { return kind == kAnswered; }
  Answer& operator*() { return *answer; }
  Answer* operator->() { return &*answer; }
};

// The items below one branch as the session listed them; unanswered names the call that
// outlived the bound (the listing is incomplete then).
struct ItemListing {
  std::vector<ItemRecord> items;
  std::string failure;  // the first error the listing logged, or why there was no listing
  const char* unanswered = nullptr;
};

// What the last Open found at each of its steps (krelta-host diagnose names the failing one).
// A step not reached keeps reached == false.
struct OpenSteps {
  bool answered = false;  // the session answered within the call bound
  HRESULT creation = S_OK;
  bool groupReached = false;
  HRESULT group = S_OK;  // AddGroup's result; E_POINTER when it succeeded without a group
  bool shutdownReached = false;
  HRESULT shutdown = S_OK;  // the first failing call of advising the shutdown sink
};

// IOPCServer::GetStatus, its texts owned.
struct ServerStatus {
  HRESULT call = S_OK;
  std::string vendor;  // UTF-8
  OPCSERVERSTATE state = OPC_STATUS_FAILED;
  WORD majorVersion = 0, minorVersion = 0, buildNumber = 0;
  FILETIME currentTime{};
};

// One item of a cache read as the server answered it.
struct ItemSample {
  HRESULT error = S_OK;
  std::string value;  // DumpVariant's text of the value
  std::string elements;  // of an array value: "<n> elements: <first>, <second>, <third>, ..."
  WORD quality = 0;
  FILETIME timeStamp{};
};
struct ItemSamples {
  HRESULT call = S_OK;
  std::vector<ItemSample> items;  // per handle when the call succeeded
};

class OpcDaProxy {
 public:
  // connectionLog is the owning connection's log; it outlives the proxy.
  OpcDaProxy(std::string delimiter, LogFile& connectionLog);
  ~OpcDaProxy();
  OpcDaProxy(const OpcDaProxy&) = delete;
  OpcDaProxy& operator=(const OpcDaProxy&) = delete;

  // WideCredentials (empty user: none) and the server address text, narrow in the ANSI code page.
  void Configure(const std::string& user, const std::string& password, const std::string& domain,
                 const std::string& serverAddress);
  // Bound of the host probe in Open; kDefaultPingTimeoutMs unless changed.
  void SetPingTimeout(DWORD milliseconds) { pingTimeoutMs_ = milliseconds; }
  // Bound of every call into the server; zero: no bound.
  void SetCallTimeout(std::chrono::milliseconds bound) { callTimeout_ = bound; }
  // Reads through a subscription mirror of the group (sessions opened afterwards).
  void SetReadFromSubscription(bool on) { readFromSubscription_ = on; }

  // Probes the host, creates the server, adds the group and advises the shutdown sink, and
  // waits for it. Returns whether a server is connected; true at once when already connected.
  bool Open();
  // Removes items and group, unadvises and releases every server interface, waiting at most
  // the call bound. Always true.
  bool Close();
  bool IsConnected();

  // A session that ended without the owner asking (shutdown request, dead server, a call that
  // outlived its bound) is opened again once its retry interval has passed: the owner calls
  // this before each read and write, and forgets its tags' server handles when SessionNumber
  // changed. A due reopen starts on the new session's thread and is not waited for; a later
  // call takes its outcome. Logs a success at Warning and a failed attempt at Error.
  void ReopenIfDue();
  // Counts successful opens: the items of an earlier session are unknown to the current one.
  std::uint64_t SessionNumber() const { return sessionNumber_; }

  // Intervals of proxies created afterwards (tests; the defaults are 10 s and 5 min).
  static void SetReconnectIntervalsForTesting(std::chrono::milliseconds first,
                                              std::chrono::milliseconds longest);

  // A call bound that replaces the configured one of every proxy while it is set (tests); a
  // negative bound restores the configured ones.
  static void SetCallTimeoutForTesting(std::chrono::milliseconds bound);

  // Adds the items (UTF-8 item IDs) to the group in one AddItems call.
  struct AddedHandles {
    enum Outcome { kAdded, kClosed, kFailed, kNoAnswer } outcome = kClosed;
    HRESULT call = S_OK;  // the call's result (kAdded, kFailed)
    std::vector<std::optional<OPCHANDLE>> handles;  // per item, empty where refused (kAdded)
  };
  AddedHandles AddItems(const std::vector<std::string>& itemIds);
  // One cache read of the entries' items into row 0 of matrix, at each entry's position.
  // Throws Exception("Could not read data.") without a session or IOPCSyncIO; other failures
  // are logged and leave cells unset.
  void Read(const std::vector<NodeGroupEntry>& entries, ValueMatrix& matrix);
  // One server write per row, stamped start + step x row. Throws Exception when nothing at all
  // reached the server (closed session, no write interface, registration failed, every row
  // refused); per-item failures are logged.
  void WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t startSeconds,
                 std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows,
                 bool writeVqt);
  // The items below one branch, listed on the session; empty without one.
  ItemListing List(const std::string& branchItemId, const std::string& displayPath);
  // The same; failure (when given) receives ItemListing::failure.
  std::vector<ItemRecord> ListItems(const std::string& branchItemId, const std::string& displayPath,
                                    std::string* failure = nullptr);

  // For a diagnosis of the path to the server: the steps of the last Open, the server's status,
  // and one cache read of items added with AddItems, unconverted. Empty without a session or
  // an answer within the bound.
  const OpenSteps& LastOpenSteps() const { return openSteps_; }
  std::optional<ServerStatus> GetStatus();
  std::optional<ItemSamples> ReadSamples(const std::vector<OPCHANDLE>& handles);
  // Where the session's reads come from and whether notifications arrive.
  std::optional<GroupSubscription::Status> SubscriptionStatus();

  const std::string& Delimiter() const { return delimiter_; }
  LogFile& ConnectionLog() { return connectionLog_; }
  const OPCURL& ServerAddress() const { return serverAddress_; }
  const WideCredentials& GetCredentials() const { return credentials_; }

 private:
  // Runs work on the session thread and waits for its answer while each server call stays
  // within the bound (call names the operation when no server call is under way).
  template <typename Answer, typename Work>
  SessionOutcome<Answer> OnSession(const char* call, Work&& work);
  // Waits for slot while thread keeps making progress; false once one call (or the span
  // between two) has outlived the bound.
  template <typename Answer>
  bool WaitForAnswer(SessionThread& thread, AnswerSlot<Answer>& slot,
                     std::chrono::steady_clock::time_point posted);
  // When the span the bound applies to began: the thread's last progress (a call began or
  // ended, a task started), never before posted (an idle thread's old mark must not count
  // against a new operation); now while a self-bounded call runs, which is never given up on.
  static std::chrono::steady_clock::time_point MeasuredSince(const SessionThread& thread,
                                                             std::chrono::steady_clock::time_point posted);
  // Whether thread's current call, or the span since its last one, has outlived the bound.
  bool OutlivedBound(const SessionThread& thread, std::chrono::steady_clock::time_point posted) const;
  // Gives up on the current session: logs it, leaves its thread to end by itself and starts
  // the retry schedule.
  void Abandon(const char* call);
  // Gives up on the session being opened (the call under way named, else the creation).
  void AbandonOpen();
  struct OpenAnswer {
    bool connected = false;
    std::string failure;
    OpenSteps steps;
  };
  enum class OpenStart { kStarted, kRefused, kBusy };
  // Starts a new session's thread and posts the open to it. kRefused (openFailure_ set):
  // kMaxStuckCalls threads are stuck in calls to this server, or no thread could be started;
  // kBusy: other sessions of the server are being opened and may yet turn out stuck.
  OpenStart StartOpen();
  // Takes the answer of the posted open: the session is usable, or it is retired with
  // openFailure_ set.
  bool FinishOpen(OpenAnswer answer);
  // A reopen that has answered, or outlived the bound: its outcome taken and logged. wait: wait
  // for it as for any operation.
  void SettlePendingReopen(bool wait = false);
  void LogReopen(bool reconnected);
  // "host (ProgID)" for messages; ServerKey identifies the server across connections.
  std::string ServerName() const;
  std::string ServerKey() const;
  // Takes note of a session that ended on its thread (shutdown request, dead server).
  void NoteLoss();
  // Ends the current session's thread once it has run what is queued.
  void RetireSession();
  // The bound in force: the test bound when one is set, else the configured one.
  std::chrono::milliseconds CallBound() const;
  std::string CallTimeoutText() const;
  // Registers the items of the entries' tags that have no server handle yet; tags that share an
  // item ID share its handle. kAdded also when there was nothing to add.
  AddedHandles::Outcome UpdateServerHandles(const std::vector<NodeGroupEntry>& entries,
                                            HRESULT& callResult);

  std::string delimiter_;
  bool configured_ = false;
  WideCredentials credentials_;
  OPCURL serverAddress_;
  LogFile& connectionLog_;
  std::shared_ptr<LogRelay> logRelay_;
  DWORD pingTimeoutMs_ = kDefaultPingTimeoutMs;
  std::chrono::milliseconds callTimeout_ = kDefaultCallTimeout;
  std::shared_ptr<SessionThread> session_;  // null while closed
  std::shared_ptr<AnswerSlot<OpenAnswer>> pendingOpen_;  // a reopen posted to session_, not yet taken
  ReconnectSchedule schedule_;
  ReconnectSchedule::Clock::time_point attemptStartedAt_{};  // of the last reopen
  std::uint64_t sessionNumber_ = 0;
  std::string openFailure_;  // why the last Open returned false
  OpenSteps openSteps_;
  bool vqtFallbackLogged_ = false;
  bool readFromSubscription_ = false;
};

}  // namespace krelta
