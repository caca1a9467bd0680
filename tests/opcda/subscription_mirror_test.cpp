// The subscription mirror: which items a read takes from it, bad notifications, the health
// changes and a flood of notifications beside reads.
#include "opcda/subscription_mirror.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace krelta {
namespace {

using Mirror = SubscriptionMirror<int>;
using std::chrono::milliseconds;
const Mirror::Clock::time_point t0{};

// One notification of client handles with value v, time v, quality good.
struct Sent {
  std::vector<Mirror::Handle> clients;
  std::vector<int> values;
  std::vector<std::uint16_t> qualities;
  std::vector<std::uint64_t> times;
  Sent(std::vector<Mirror::Handle> c, int v)
      : clients(c), values(c.size(), v), qualities(c.size(), 0xC0), times(c.size(), static_cast<std::uint64_t>(v)) {}
  Mirror::Notification Get() const {
    return {clients.data(), clients.size(), values.data(), values.size(), qualities.data(),
            qualities.size(), times.data(), times.size(), nullptr, 0};
  }
};

// Client handles 1..3 for server handles 101..103.
void TrackThree(Mirror& mirror) { mirror.Track({{1, 101}, {2, 102}, {3, 103}}); }

std::vector<bool> Answered(Mirror& mirror, const std::vector<Mirror::Handle>& servers) {
  std::vector<std::optional<Mirror::Sample>> out;
  mirror.Take(servers, out);
  std::vector<bool> answered;
  for (const auto& o : out) answered.push_back(o.has_value());
  return answered;
}

TEST(SubscriptionMirror, AnswersOnlyHealthyItemsNotifiedAfterTheirLastWrite) {
  const struct {
    const char* name;
    void (*steps)(Mirror&);
    std::vector<bool> answered;  // for server handles 101, 102, 103, 999
  } rows[] = {
      {"nothing notified", [](Mirror&) {}, {false, false, false, false}},
      {"all notified", [](Mirror& m) { m.Apply(Sent({1, 2, 3}, 5).Get(), t0); }, {true, true, true, false}},
      {"one never notified", [](Mirror& m) { m.Apply(Sent({1, 2}, 5).Get(), t0); }, {true, true, false, false}},
      {"written after the notification",
       [](Mirror& m) {
         m.Apply(Sent({1, 2, 3}, 5).Get(), t0);
         m.NoteWritten({102});
       },
       {true, false, true, false}},
      {"notified again after the write",
       [](Mirror& m) {
         m.Apply(Sent({1, 2, 3}, 5).Get(), t0);
         m.NoteWritten({102, 103});
         m.Apply(Sent({2}, 6).Get(), t0);
       },
       {true, true, false, false}},
      {"refresh unanswered",
       [](Mirror& m) {
         m.Apply(Sent({1, 2, 3}, 5).Get(), t0);
         m.RefreshAsked(t0, milliseconds(10));
         m.CheckHealth(t0 + milliseconds(11));
       },
       {false, false, false, false}},
      {"cleared by a loss",
       [](Mirror& m) {
         m.Apply(Sent({1, 2, 3}, 5).Get(), t0);
         m.Clear();
         TrackThree(m);
         m.Apply(Sent({1}, 6).Get(), t0);
       },
       {true, false, false, false}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Mirror mirror;
    TrackThree(mirror);
    row.steps(mirror);
    EXPECT_EQ(row.answered, Answered(mirror, {101, 102, 103, 999}));
  }
  // The sample is what the newest notification carried.
  Mirror mirror;
  TrackThree(mirror);
  mirror.Apply(Sent({3}, 7).Get(), t0);
  mirror.Apply(Sent({3}, 8).Get(), t0);
  std::vector<std::optional<Mirror::Sample>> out;
  ASSERT_EQ(1u, mirror.Take({103}, out));
  EXPECT_EQ(8, out[0]->value);
  EXPECT_EQ(8u, out[0]->time);
  EXPECT_EQ(0xC0, out[0]->quality);
}

TEST(SubscriptionMirror, BadNotificationsAreCountedAndChangeNothing) {
  Mirror mirror;
  TrackThree(mirror);
  Sent unknown({1, 42, 7}, 5);  // 42 and 7 were never registered
  EXPECT_TRUE(mirror.Apply(unknown.Get(), t0));
  Sent shortValues({1, 2}, 9);
  shortValues.values.pop_back();
  Sent nullTimes({2}, 9);
  Mirror::Notification missing = nullTimes.Get();
  missing.times = nullptr;
  Sent errorsShort({2}, 9);
  Mirror::Notification withErrors = errorsShort.Get();
  const std::int32_t oneError = -1;
  withErrors.errors = &oneError;
  withErrors.errorCount = 2;
  for (const Mirror::Notification& bad : {shortValues.Get(), missing, withErrors}) {
    EXPECT_FALSE(mirror.Apply(bad, t0));
  }
  const Mirror::Counters counters = mirror.GetCounters();
  EXPECT_EQ(1u, counters.notifications);
  EXPECT_EQ(1u, counters.items);
  EXPECT_EQ(2u, counters.unknownHandles);
  EXPECT_EQ(3u, counters.rejected);
  EXPECT_EQ((std::vector<bool>{true, false}), Answered(mirror, {101, 102}));

  // A keep-alive (no items) is a sign of life and copies nothing.
  Mirror quiet;
  TrackThree(quiet);
  EXPECT_TRUE(quiet.Apply(Sent({}, 0).Get(), t0));
  EXPECT_TRUE(quiet.Healthy());
  EXPECT_EQ((std::vector<bool>{false}), Answered(quiet, {101}));
}

TEST(SubscriptionMirror, StopsAndResumesAreReportedOnce) {
  Mirror mirror;
  TrackThree(mirror);
  EXPECT_FALSE(mirror.Healthy());
  EXPECT_FALSE(mirror.LastNotification());
  mirror.Apply(Sent({1}, 1).Get(), t0);
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0));  // the first is no resumption

  // A refresh answered in time keeps it healthy; one unanswered stops it, once.
  mirror.RefreshAsked(t0, milliseconds(100));
  mirror.Apply(Sent({}, 0).Get(), t0 + milliseconds(50));
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0 + milliseconds(200)));
  mirror.RefreshAsked(t0 + milliseconds(200), milliseconds(100));
  mirror.RefreshAsked(t0 + milliseconds(250), milliseconds(100));  // the first deadline holds
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0 + milliseconds(300)));
  EXPECT_EQ(MirrorHealthChange::kStopped, mirror.CheckHealth(t0 + milliseconds(301)));
  mirror.RefreshAsked(t0 + milliseconds(400), milliseconds(100));
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0 + milliseconds(600)));
  EXPECT_FALSE(mirror.Healthy());
  mirror.Apply(Sent({2}, 2).Get(), t0 + milliseconds(700));
  EXPECT_EQ(MirrorHealthChange::kResumed, mirror.CheckHealth(t0 + milliseconds(700)));
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0 + milliseconds(701)));
  EXPECT_EQ(t0 + milliseconds(700), mirror.LastNotification());

  // A subscription that never brought anything counts as stopped too.
  Mirror never;
  never.RefreshAsked(t0, milliseconds(100));
  EXPECT_EQ(MirrorHealthChange::kStopped, never.CheckHealth(t0 + milliseconds(101)));
  EXPECT_EQ(MirrorHealthChange::kNone, never.CheckHealth(t0 + milliseconds(500)));

  // With a promised keep-alive, silence past the limit stops it as well.
  mirror.SetSilenceLimit(milliseconds(100));
  EXPECT_EQ(MirrorHealthChange::kNone, mirror.CheckHealth(t0 + milliseconds(800)));
  EXPECT_EQ(MirrorHealthChange::kStopped, mirror.CheckHealth(t0 + milliseconds(801)));
}

// Notifications from several threads at once beside reads: every answer is one whole sample,
// nothing is lost from the counts.
TEST(SubscriptionMirror, FloodOfNotificationsBesideReads) {
  Mirror mirror;
  std::vector<std::pair<Mirror::Handle, Mirror::Handle>> pairs;
  std::vector<Mirror::Handle> clients, servers;
  for (Mirror::Handle h = 1; h <= 100; ++h) {
    pairs.emplace_back(h, h + 1000);
    clients.push_back(h);
    servers.push_back(h + 1000);
  }
  mirror.Track(pairs);
  constexpr int kPerThread = 2500;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    std::vector<std::optional<Mirror::Sample>> out;
    while (!done.load()) {
      mirror.Take(servers, out);
      for (const auto& o : out) {
        if (o && static_cast<std::uint64_t>(o->value) != o->time) ++torn;
      }
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) mirror.Apply(Sent(clients, t * kPerThread + i).Get(), t0);
    });
  }
  for (auto& s : senders) s.join();
  done = true;
  reader.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(4u * kPerThread, mirror.GetCounters().notifications);
  EXPECT_EQ(4u * kPerThread * 100, mirror.GetCounters().items);
}

}  // namespace
}  // namespace krelta
