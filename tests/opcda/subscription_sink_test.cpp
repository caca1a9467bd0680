// The data callback sink called as a server calls it, bad calls included; reads put together
// from the mirror and the server.
#include "opcda/subscription_sink.h"
#include "opcda/mirror_read.h"

#include <gtest/gtest.h>

#include "platform/com/com_owners.h"

namespace krelta {
namespace {

TEST(SubscriptionSink, CopiesValuesByWhatTheyReferToAndRefusesBadCallsQuietly) {
  auto mirror = std::make_shared<VariantMirror>();
  mirror->Track({{1, 101}, {2, 102}});
  com::ComPtr<SubscriptionSink> sink;
  sink.Attach(new SubscriptionSink(mirror));

  // A text passed by reference: the mirror keeps its own copy of the text.
  com::Bstr text(L"Anlage S\u00fcd");
  BSTR textRef = text.get();
  VARIANT values[2];
  values[0].vt = VT_BSTR | VT_BYREF;
  values[0].pbstrVal = &textRef;
  values[1].vt = VT_R8;
  values[1].dblVal = 1.5;
  OPCHANDLE clients[2] = {1, 7};  // 7 was never registered
  WORD qualities[2] = {0xC0, 0xC0};
  FILETIME times[2] = {{5, 1}, {6, 1}};
  HRESULT errors[2] = {S_OK, S_OK};
  const struct {
    const char* name;
    DWORD count;
    OPCHANDLE* clients;
    VARIANT* values;
    FILETIME* times;
    HRESULT* errors;
  } calls[] = {{"keep-alive", 0, nullptr, nullptr, nullptr, nullptr},
               {"no values", 2, clients, nullptr, times, errors},
               {"no handles", 2, nullptr, values, times, errors},
               {"no times", 2, clients, values, nullptr, errors},
               {"one unknown handle", 2, clients, values, times, nullptr}};
  for (const auto& call : calls) {
    SCOPED_TRACE(call.name);
    EXPECT_EQ(S_OK, sink->OnDataChange(0, 0, S_OK, S_OK, call.count, call.clients, call.values, qualities,
                                       call.times, call.errors));
  }
  const VariantMirror::Counters counters = mirror->GetCounters();
  EXPECT_EQ(2u, counters.notifications);
  EXPECT_EQ(3u, counters.rejected);
  EXPECT_EQ(1u, counters.unknownHandles);
  text.reset();  // the caller's memory is gone after the call

  std::vector<std::optional<VariantMirror::Sample>> out;
  ASSERT_EQ(1u, mirror->Take({101, 102}, out));
  EXPECT_EQ(VT_BSTR, out[0]->value.get().vt);
  EXPECT_STREQ(L"Anlage S\u00fcd", out[0]->value.get().bstrVal);
  EXPECT_EQ(FileTimeNumber(times[0]), out[0]->time);

  // After Close a late refresh answer changes nothing.
  sink->Close();
  EXPECT_EQ(S_OK, sink->OnReadComplete(1, 0, S_OK, S_OK, 1, clients, &values[1], qualities, times,
                                       errors));
  EXPECT_EQ(1u, sink->CallsAfterClose());
  EXPECT_EQ(2u, mirror->GetCounters().notifications);
}

// Server handles 101..103; the server answers each asked handle h with the value h, the mirror
// with its notified value 1000 + client handle.
TEST(SubscriptionSink, ReadsTakeWhatTheMirrorAnswersAndAskTheServerForTheRestInOrder) {
  const struct {
    std::vector<OPCHANDLE> notified;  // client handles
    HRESULT serverCall;
    std::vector<OPCHANDLE> serverAsked;
    HRESULT call;
    std::vector<double> values;  // per handle 101, 102, 103; empty when the read failed
  } rows[] = {{{}, S_OK, {101, 102, 103}, S_OK, {101, 102, 103}},
              {{1, 2, 3}, S_OK, {}, S_OK, {1001, 1002, 1003}},
              {{2}, S_OK, {101, 103}, S_OK, {101, 1002, 103}},
              {{2}, E_FAIL, {101, 103}, E_FAIL, {}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.notified.size());
    VariantMirror mirror;
    mirror.Track({{1, 101}, {2, 102}, {3, 103}});
    for (OPCHANDLE client : row.notified) {
      VARIANT value{};
      value.vt = VT_R8;
      value.dblVal = 1000.0 + client;
      WORD quality = 0xC0;
      FILETIME time{1, 0};
      mirror.Apply({reinterpret_cast<const VariantMirror::Handle*>(&client), 1, &value, 1, &quality, 1,
                    reinterpret_cast<const std::uint64_t*>(&time), 1, nullptr, 0},
                   VariantMirror::Clock::now());
    }
    std::vector<OPCHANDLE> asked;
    ItemStates read = ReadThroughMirror(mirror, {101, 102, 103}, [&](const std::vector<OPCHANDLE>& handles) {
      asked = handles;
      ItemStates answer;
      answer.call = row.serverCall;
      answer.states.put()[0] = static_cast<OPCITEMSTATE*>(::CoTaskMemAlloc(sizeof(OPCITEMSTATE) * handles.size()));
      answer.states.set_size(handles.size());
      for (std::size_t i = 0; i < handles.size(); ++i) {
        answer.states[i] = OPCITEMSTATE{};
        answer.states[i].vDataValue.vt = VT_R8;
        answer.states[i].vDataValue.dblVal = handles[i];
      }
      return answer;
    });
    EXPECT_EQ(row.serverAsked, asked);
    EXPECT_EQ(row.call, read.call);
    std::vector<double> values;
    for (std::size_t i = 0; SUCCEEDED(read.call) && i < read.states.size(); ++i) {
      values.push_back(read.states[i].vDataValue.dblVal);
    }
    EXPECT_EQ(row.values, values);
  }
}

}  // namespace
}  // namespace krelta
