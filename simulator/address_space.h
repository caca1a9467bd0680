// The simulator's address space: a tree of branches holding items, built from text or generated.
// A built space is immutable in shape; item state (value, quality, timestamp) changes under the
// space's own lock. A replaced space stays alive while groups still hold items of it.
//
// Text format, one statement per line, '#' starts a comment:
//
//   branch Plant.Line1                      following items go into Plant.Line1 (parents created);
//                                           "branch" alone returns to the root
//   item NAME TYPE VALUE [QUALITY] [RIGHTS] [BEHAVIOUR]
//
//   TYPE       I1 UI1 I2 UI2 I4 UI4 I8 UI8 R4 R8 BOOL BSTR DATE CY DECIMAL EMPTY; a scalar type
//              with "[]" is an array of it (R4[], I4[], BSTR[] ...); VARIANT[] is an array of
//              variants whose elements are R8 numbers, BOOL true/false or BSTR texts
//   VALUE      a number (nan, inf and -inf for R4 and R8), true/false, "quoted text"
//              (\" and \\ escape), a bare word for BSTR, 2024-01-31T12:00:00 for DATE, '-' for EMPTY; array
//              elements separated by ';', "[]" for an empty array
//   QUALITY    good | bad | uncertain | a number (0xC0); default good
//   RIGHTS     r | w | rw; default rw
//   BEHAVIOUR  ramp(low,high,step)    each read adds step, wrapping from above high to low
//              random(low,high,step)  each read moves at most step up or down, within low..high
//   OPTIONS    time=2024-03-01T12:00:00.250  the item's time stamp (UTC) until it is written
//              readerror=0xC0040007  every read of the item answers that per-item error
//              readdelay=N           every read of the item waits N ms (only its own group waits)
//              writeerror=0xC0040006 every write of the item answers that per-item error
//              novqt                 WriteVQT with quality or time stamp answers OPC_E_NOTSUPPORTED
//              byref                 reads answer the value as VT_BYREF (scalars only)
//              lbound=N              an array's lower bound (default 0)
//
// Names are letters, digits, '_' and '-'. The item ID is the branch path and the name joined by
// '.', e.g. "Plant.Line1.Temperature". Windows only (values are VARIANTs).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace krelta::sim {

enum class BehaviourKind { kNone, kRamp, kRandom };

struct Behaviour {
  BehaviourKind kind = BehaviourKind::kNone;
  double low = 0, high = 0, step = 0;
};

// Owns one VARIANT, copyable (VariantCopy) so items can be built in vectors.
class OwnedVariant {
 public:
  OwnedVariant() noexcept { ::VariantInit(&v_); }
  OwnedVariant(const OwnedVariant& o) : OwnedVariant() { ::VariantCopy(&v_, const_cast<VARIANT*>(&o.v_)); }
  OwnedVariant& operator=(const OwnedVariant& o) {
    if (this != &o) ::VariantCopy(&v_, const_cast<VARIANT*>(&o.v_));
    return *this;
  }
  ~OwnedVariant() { ::VariantClear(&v_); }
  VARIANT* get() noexcept { return &v_; }
  const VARIANT* get() const noexcept { return &v_; }

 private:
  VARIANT v_;
};

struct Branch;

struct Item {
  std::wstring name;  // short name
  std::wstring id;    // fully qualified ItemID
  VARTYPE type = VT_EMPTY;
  DWORD rights = 0;  // OPC_READABLE | OPC_WRITEABLE
  Behaviour behaviour;
  Branch* parent = nullptr;
  HRESULT readError = S_OK;
  long long readDelayMs = 0;
  HRESULT writeError = S_OK;
  bool refusesVqt = false;
  bool byref = false;
  // Guarded by AddressSpace::lock().
  OwnedVariant value;
  WORD quality = 0;
  FILETIME timestamp{};
};

struct Branch {
  std::wstring name;  // empty for the root
  std::wstring id;    // empty for the root
  Branch* parent = nullptr;
  std::vector<std::unique_ptr<Branch>> branches;
  std::vector<Item*> items;
  bool HasChildren() const { return !branches.empty() || !items.empty(); }
};

class AddressSpace {
 public:
  AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Parses text; on a fault returns null and sets error to "line N: problem".
  static std::shared_ptr<AddressSpace> Parse(const std::wstring& text, std::wstring& error);
  // Branches "B0000".., each with itemsPerBranch R8 items "I00000".. of value 0, good, rw.
  static std::shared_ptr<AddressSpace> Generate(DWORD branches, DWORD itemsPerBranch);

  const Item* FindItem(const std::wstring& id) const;
  Item* FindItem(const std::wstring& id);
  // "" is the root.
  const Branch* FindBranch(const std::wstring& id) const;
  const Branch& root() const { return root_; }
  size_t itemCount() const { return items_.size(); }

  // Guards every item's value, quality and timestamp.
  std::mutex& lock() const { return lock_; }
  // Copies the current value of item (advancing its behaviour first); lock() must be held.
  void ReadLocked(Item& item, VARIANT* value, WORD* quality, FILETIME* timestamp) const;

 private:
  Branch* EnsureBranch(const std::wstring& path, std::wstring& error);
  Item* AddItem(Branch* parent, Item&& item, std::wstring& error);

  Branch root_;
  std::vector<std::unique_ptr<Item>> items_;
  std::unordered_map<std::wstring, Item*> itemsById_;
  std::unordered_map<std::wstring, Branch*> branchesById_;
  mutable std::mutex lock_;
  mutable uint64_t random_ = 0x9E3779B97F4A7C15ULL;
};

// Converts src to vt, element by element for arrays (VariantChangeType does not convert
// arrays). VT_EMPTY as target copies src unchanged. Returns the conversion's HRESULT.
HRESULT ConvertVariant(VARIANT* dst, const VARIANT* src, VARTYPE vt);

// Matches name against a pattern where '*' is any run and '?' any one character; "" matches all.
bool MatchesWildcard(const std::wstring& pattern, const std::wstring& name);

// The demo's plant-like tree, used when nothing else is loaded.
extern const wchar_t kDefaultAddressSpace[];

}  // namespace krelta::sim
