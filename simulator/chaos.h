// Chaos mode: once switched on with a seed and a profile, every OPC call of server and group
// objects draws what happens to it (answer normally, a delay, a hang, a failure of the whole
// call, the process ending inside it, a shutdown request during or after it), item-level calls
// draw per-item errors, reads draw qualities, time stamps and (items of type EMPTY) values of
// every variant shape, and each browse walk draws one of the misbehaving-server faults.
// Draws come from the seed and the call's step number, so a run can be repeated; the seed and
// the profile are in the call log. Windows only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace krelta::sim {

class CallScope;

// Rates in percent. Whole-call outcomes are drawn in the order of the fields; what is left
// answers normally.
struct ChaosProfile {
  double exit = 0;      // the process ends inside the call (class objects revoked first)
  double hang = 0;      // the call waits until ReleaseHangs or holdMs
  double delay = 0;     // the call waits 0 .. 2 x boundMs first
  double fail = 0;      // the call answers a failure from the table
  double shutdown = 0;  // a shutdown request to one advised sink, inside the call
  double between = 0;   // a shutdown request to one advised sink, shortly after the call
  double items = 0;     // item-level calls answering per-item errors
  double quality = 0;   // read items answering a drawn quality and time stamp
  double values = 100;  // reads of EMPTY items answering a drawn variant
  double walk = 0;      // browse walks under one of faults 20-27, 42
  DWORD boundMs = 2000; // the client's call bound
  DWORD holdMs = 10000; // the longest hang

  // "name=value,..." with the names above (bound and hold in ms); "default" is kDefaultProfile.
  // False, with the reason, on an unknown name, a bad number or whole-call rates above 100.
  static bool Parse(const std::wstring& text, ChaosProfile& out, std::wstring& error);
  std::string Text() const;
};

constexpr const wchar_t* kDefaultChaosProfile =
    L"exit=0.05,hang=0.5,delay=3,fail=3,shutdown=0.3,between=0.3,items=5,quality=5,values=100,"
    L"walk=20,bound=2000,hold=8000";

// Switches chaos on (a profile) or off ("" or "off"); off releases every hang and clears the
// faults chaos set. E_INVALIDARG with the reason for a bad profile.
HRESULT SetChaos(std::uint32_t seed, const std::wstring& profile, std::wstring& error);
// Lets every hanging call go on.
void ReleaseChaosHangs();

// Hooks of every OPC call (Guarded): the whole-call draw before the body, true when the call
// must stop with *hr; the per-item draws after it on the outputs the call named.
bool ChaosBefore(CallScope& call, HRESULT* hr);
HRESULT ChaosAfter(CallScope& call, HRESULT hr);
// A browse walk starts: draws the misbehaving-server fault it runs under.
void ChaosNewWalk();

}  // namespace krelta::sim
