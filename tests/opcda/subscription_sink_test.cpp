// The data callback sink called as a server calls it, bad calls included.
#include "opcda/subscription_sink.h"

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

}  // namespace
}  // namespace krelta
