#include "simulator/address_space.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <limits>

#include "opc_da_constants.h"

namespace krelta::sim {

const wchar_t kDefaultAddressSpace[] = LR"(# The demo plant.
branch Plant
item Name BSTR "Demo plant" good r
item Running BOOL true good rw
branch Plant.Line1
item Temperature R8 21.5 good rw ramp(0,100,0.5)
item Pressure R4 1.013 good rw random(0.9,1.2,0.01)
item Speed I4 1200 good rw
item Mode I2 1 good rw
item Batch UI4 0 good r ramp(0,4294967295,1)
item Profile R4[] 1;2;3;4;5 good rw
item Recipe BSTR[] "Mix";"Heat";"Cool" good rw
branch Plant.Line2
item Temperature R8 19 good rw
item Setpoints I4[] 10;20;30 good rw
item Alarm BOOL false uncertain r
item Command I4 0 good w
item Started DATE 2024-01-01T06:00:00 good r
item Cost CY 12.5 good rw
item Offset I1 -5 good rw
item Level UI1 200 good rw
item Steps UI2 60000 good rw
item Energy I8 -9000000000 good rw
item Reserve EMPTY - bad rw
branch Plant.Utilities
item Flow R8 3.5 good rw random(0,10,0.1)
item Total UI8 123456789 good r ramp(0,18446744073709551615,1)
)";

namespace {

FILETIME Now() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return ft;
}

struct TypeName {
  const wchar_t* name;
  VARTYPE vt;
};
constexpr TypeName kTypes[] = {
    {L"I1", VT_I1},   {L"UI1", VT_UI1},   {L"I2", VT_I2},     {L"UI2", VT_UI2},
    {L"I4", VT_I4},   {L"UI4", VT_UI4},   {L"I8", VT_I8},     {L"UI8", VT_UI8},
    {L"R4", VT_R4},   {L"R8", VT_R8},     {L"BOOL", VT_BOOL}, {L"BSTR", VT_BSTR},
    {L"DATE", VT_DATE}, {L"CY", VT_CY},   {L"DECIMAL", VT_DECIMAL}, {L"EMPTY", VT_EMPTY},
};

bool IsNumeric(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_CY:
      return true;
    default:
      return false;
  }
}

bool ParseType(const std::wstring& token, VARTYPE& vt) {
  std::wstring base = token;
  bool array = false;
  if (base.size() > 2 && base.compare(base.size() - 2, 2, L"[]") == 0) {
    base.resize(base.size() - 2);
    array = true;
  }
  if (array && base == L"VARIANT") {
    vt = VT_ARRAY | VT_VARIANT;
    return true;
  }
  for (const TypeName& t : kTypes) {
    if (base == t.name) {
      if (array && t.vt == VT_EMPTY) return false;
      vt = array ? static_cast<VARTYPE>(VT_ARRAY | t.vt) : t.vt;
      return true;
    }
  }
  return false;
}

bool ValidName(const std::wstring& name) {
  if (name.empty()) return false;
  for (wchar_t c : name) {
    if (!std::iswalnum(c) && c != L'_' && c != L'-') return false;
  }
  return true;
}

// Splits a line into tokens at blanks; quotes group blanks and stay in the token.
bool Tokenize(const std::wstring& line, std::vector<std::wstring>& tokens, std::wstring& problem) {
  std::wstring current;
  bool inQuote = false, inToken = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const wchar_t c = line[i];
    if (inQuote) {
      current += c;
      if (c == L'\\' && i + 1 < line.size()) {
        current += line[++i];
      } else if (c == L'"') {
        inQuote = false;
      }
      continue;
    }
    if (c == L'#') break;
    if (c == L' ' || c == L'\t' || c == L'\r') {
      if (inToken) tokens.push_back(std::move(current));
      current.clear();
      inToken = false;
      continue;
    }
    if (c == L'"') inQuote = true;
    current += c;
    inToken = true;
  }
  if (inQuote) {
    problem = L"unterminated quote";
    return false;
  }
  if (inToken) tokens.push_back(std::move(current));
  return true;
}

bool Unquote(const std::wstring& token, std::wstring& text) {
  if (token.size() < 2 || token.front() != L'"' || token.back() != L'"') return false;
  text.clear();
  for (size_t i = 1; i + 1 < token.size(); ++i) {
    wchar_t c = token[i];
    if (c == L'\\' && i + 2 < token.size()) c = token[++i];
    else if (c == L'"') return false;
    text += c;
  }
  return true;
}

bool ParseDouble(const std::wstring& token, double& value) {
  if (token.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  value = std::wcstod(token.c_str(), &end);
  return errno == 0 && end == token.c_str() + token.size() && std::isfinite(value);
}

bool ParseSigned(const std::wstring& token, long long low, long long high, long long& value) {
  if (token.empty()) return false;
  wchar_t* end = nullptr;
  errno = 0;
  value = std::wcstoll(token.c_str(), &end, 0);
  return errno == 0 && end == token.c_str() + token.size() && value >= low && value <= high;
}

bool ParseUnsigned(const std::wstring& token, unsigned long long high, unsigned long long& value) {
  if (token.empty() || token[0] == L'-') return false;
  wchar_t* end = nullptr;
  errno = 0;
  value = std::wcstoull(token.c_str(), &end, 0);
  return errno == 0 && end == token.c_str() + token.size() && value <= high;
}

// R4 and R8 also take nan, inf and -inf.
bool ParseFloating(const std::wstring& token, double& value) {
  if (token == L"nan") value = std::numeric_limits<double>::quiet_NaN();
  else if (token == L"inf") value = std::numeric_limits<double>::infinity();
  else if (token == L"-inf") value = -std::numeric_limits<double>::infinity();
  else return ParseDouble(token, value);
  return true;
}

// 2024-03-01, 2024-03-01T12:00:00 or 2024-03-01T12:00:00.250 as a calendar time.
bool ParseSystemTime(const std::wstring& token, SYSTEMTIME& st) {
  int y, mo, d, h = 0, mi = 0, s = 0, ms = 0, n = 0, m = 0;
  if (std::swscanf(token.c_str(), L"%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) == 6) {
    if (static_cast<size_t>(n) != token.size() &&
        (std::swscanf(token.c_str() + n, L".%3d%n", &ms, &m) != 1 || static_cast<size_t>(n + m) != token.size())) {
      return false;
    }
  } else if (std::swscanf(token.c_str(), L"%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 ||
             static_cast<size_t>(n) != token.size()) {
    return false;
  } else {
    h = mi = s = 0;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || y < 100) return false;
  st = SYSTEMTIME{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  st.wMilliseconds = static_cast<WORD>(ms);
  return true;
}

// A time stamp option (UTC) as a FILETIME.
bool ParseTimeStamp(const std::wstring& token, FILETIME& time) {
  SYSTEMTIME st;
  return ParseSystemTime(token, st) && ::SystemTimeToFileTime(&st, &time) != 0;
}

bool ParseHresult(const std::wstring& token, HRESULT& hr) {
  unsigned long long u = 0;
  if (!ParseUnsigned(token, 0xFFFFFFFFULL, u)) return false;
  hr = static_cast<HRESULT>(static_cast<unsigned long>(u));
  return true;
}

bool ParseDate(const std::wstring& token, DATE& date) {
  SYSTEMTIME st;
  return ParseSystemTime(token, st) && ::SystemTimeToVariantTime(&st, &date) != 0;
}

// Parses one scalar of type vt into out (VariantInit'ed by the caller).
bool ParseScalar(const std::wstring& token, VARTYPE vt, VARIANT* out) {
  long long s = 0;
  unsigned long long u = 0;
  double d = 0;
  switch (vt) {
    case VT_EMPTY:
      return token == L"-";
    case VT_BSTR: {
      std::wstring text;
      if (!token.empty() && token.front() == L'"') {
        if (!Unquote(token, text)) return false;
      } else {
        text = token;
      }
      out->bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      if (out->bstrVal == nullptr) return false;
      out->vt = VT_BSTR;
      return true;
    }
    case VT_BOOL: {
      std::wstring lower;
      for (wchar_t c : token) lower += static_cast<wchar_t>(std::towlower(c));
      if (lower == L"true" || lower == L"1") out->boolVal = VARIANT_TRUE;
      else if (lower == L"false" || lower == L"0") out->boolVal = VARIANT_FALSE;
      else return false;
      out->vt = VT_BOOL;
      return true;
    }
    case VT_I1:
      if (!ParseSigned(token, SCHAR_MIN, SCHAR_MAX, s)) return false;
      out->cVal = static_cast<CHAR>(s);
      break;
    case VT_I2:
      if (!ParseSigned(token, SHRT_MIN, SHRT_MAX, s)) return false;
      out->iVal = static_cast<SHORT>(s);
      break;
    case VT_I4:
      if (!ParseSigned(token, LONG_MIN, LONG_MAX, s)) return false;
      out->lVal = static_cast<LONG>(s);
      break;
    case VT_I8:
      if (!ParseSigned(token, LLONG_MIN, LLONG_MAX, s)) return false;
      out->llVal = s;
      break;
    case VT_UI1:
      if (!ParseUnsigned(token, UCHAR_MAX, u)) return false;
      out->bVal = static_cast<BYTE>(u);
      break;
    case VT_UI2:
      if (!ParseUnsigned(token, USHRT_MAX, u)) return false;
      out->uiVal = static_cast<USHORT>(u);
      break;
    case VT_UI4:
      if (!ParseUnsigned(token, ULONG_MAX, u)) return false;
      out->ulVal = static_cast<ULONG>(u);
      break;
    case VT_UI8:
      if (!ParseUnsigned(token, ULLONG_MAX, u)) return false;
      out->ullVal = u;
      break;
    case VT_R4:
      if (!ParseFloating(token, d) || (std::isfinite(d) && std::fabs(d) > FLT_MAX)) return false;
      out->fltVal = static_cast<float>(d);
      break;
    case VT_R8:
      if (!ParseFloating(token, d)) return false;
      out->dblVal = d;
      break;
    case VT_DECIMAL:
      if (!ParseDouble(token, d) || FAILED(::VarDecFromR8(d, &out->decVal))) return false;
      break;
    case VT_VARIANT:
      // An element of a VARIANT[]: a number, a truth value or a text.
      if (ParseDouble(token, d)) return ParseScalar(token, VT_R8, out);
      if (ParseScalar(token, VT_BOOL, out)) return true;
      return ParseScalar(token, VT_BSTR, out);
    case VT_CY:
      if (!ParseDouble(token, d) || std::fabs(d) > 922337203685477.0) return false;
      out->cyVal.int64 = std::llround(d * 10000.0);
      break;
    case VT_DATE:
      if (!ParseDate(token, out->date)) return false;
      break;
    default:
      return false;
  }
  out->vt = vt;
  return true;
}

// Splits an array value at ';' outside quotes.
std::vector<std::wstring> SplitElements(const std::wstring& token) {
  std::vector<std::wstring> parts(1);
  bool inQuote = false;
  for (size_t i = 0; i < token.size(); ++i) {
    const wchar_t c = token[i];
    if (inQuote && c == L'\\' && i + 1 < token.size()) {
      parts.back() += c;
      parts.back() += token[++i];
      continue;
    }
    if (c == L'"') inQuote = !inQuote;
    if (c == L';' && !inQuote) {
      parts.emplace_back();
      continue;
    }
    parts.back() += c;
  }
  return parts;
}

// Address of a scalar VARIANT's data as SafeArrayPutElement wants it.
void* ElementData(VARIANT& v, VARTYPE element) {
  if (element == VT_VARIANT) return &v;
  if (v.vt == VT_BSTR) return v.bstrVal;
  if (v.vt == VT_DECIMAL) return &v.decVal;
  return &v.llVal;  // every member of the value union starts here
}

bool ParseValue(const std::wstring& token, VARTYPE vt, LONG lowerBound, VARIANT* out) {
  if ((vt & VT_ARRAY) == 0) return ParseScalar(token, vt, out);
  const VARTYPE element = vt & ~VT_ARRAY;
  std::vector<std::wstring> parts;
  if (token != L"[]") parts = SplitElements(token);
  SAFEARRAY* array = ::SafeArrayCreateVector(element, lowerBound, static_cast<ULONG>(parts.size()));
  if (array == nullptr) return false;
  for (LONG i = 0; i < static_cast<LONG>(parts.size()); ++i) {
    VARIANT one;
    ::VariantInit(&one);
    LONG index = lowerBound + i;
    const bool ok = ParseScalar(parts[i], element, &one) &&
                    SUCCEEDED(::SafeArrayPutElement(array, &index, ElementData(one, element)));
    ::VariantClear(&one);
    if (!ok) {
      ::SafeArrayDestroy(array);
      return false;
    }
  }
  out->vt = vt;
  out->parray = array;
  return true;
}

bool ParseBehaviour(const std::wstring& token, Behaviour& behaviour) {
  const size_t open = token.find(L'(');
  if (open == std::wstring::npos || token.back() != L')') return false;
  const std::wstring kind = token.substr(0, open);
  if (kind == L"ramp") behaviour.kind = BehaviourKind::kRamp;
  else if (kind == L"random") behaviour.kind = BehaviourKind::kRandom;
  else return false;
  std::vector<std::wstring> args(1);
  for (size_t i = open + 1; i + 1 < token.size(); ++i) {
    if (token[i] == L',') args.emplace_back();
    else args.back() += token[i];
  }
  return args.size() == 3 && ParseDouble(args[0], behaviour.low) &&
         ParseDouble(args[1], behaviour.high) && ParseDouble(args[2], behaviour.step) &&
         behaviour.low < behaviour.high && behaviour.step > 0;
}

bool ParseQuality(const std::wstring& token, WORD& quality) {
  if (token == L"good") quality = OPC_QUALITY_GOOD;
  else if (token == L"bad") quality = OPC_QUALITY_BAD;
  else if (token == L"uncertain") quality = OPC_QUALITY_UNCERTAIN;
  else {
    unsigned long long u = 0;
    if (token.empty() || !std::iswdigit(token[0]) || !ParseUnsigned(token, 0xFFFF, u)) return false;
    quality = static_cast<WORD>(u);
  }
  return true;
}

bool ParseRights(const std::wstring& token, DWORD& rights) {
  if (token == L"r") rights = OPC_READABLE;
  else if (token == L"w") rights = OPC_WRITEABLE;
  else if (token == L"rw") rights = OPC_READABLE | OPC_WRITEABLE;
  else return false;
  return true;
}

std::wstring LineError(size_t line, const std::wstring& problem) {
  return L"line " + std::to_wstring(line) + L": " + problem;
}

std::wstring Join(const std::wstring& path, const std::wstring& name) {
  return path.empty() ? name : path + L"." + name;
}

}  // namespace

AddressSpace::AddressSpace() { branchesById_[L""] = &root_; }

Branch* AddressSpace::EnsureBranch(const std::wstring& path, std::wstring& error) {
  Branch* branch = &root_;
  size_t start = 0;
  while (start <= path.size()) {
    size_t dot = path.find(L'.', start);
    if (dot == std::wstring::npos) dot = path.size();
    const std::wstring name = path.substr(start, dot - start);
    if (!ValidName(name)) {
      error = L"invalid branch name '" + name + L"' in '" + path + L"'";
      return nullptr;
    }
    const std::wstring id = Join(branch->id, name);
    auto found = branchesById_.find(id);
    if (found != branchesById_.end()) {
      branch = found->second;
    } else {
      if (itemsById_.count(id) != 0) {
        error = L"branch '" + id + L"' has the ID of an item";
        return nullptr;
      }
      auto child = std::make_unique<Branch>();
      child->name = name;
      child->id = id;
      child->parent = branch;
      Branch* raw = child.get();
      branch->branches.push_back(std::move(child));
      branchesById_.emplace(id, raw);
      branch = raw;
    }
    start = dot + 1;
  }
  return branch;
}

Item* AddressSpace::AddItem(Branch* parent, Item&& item, std::wstring& error) {
  item.id = Join(parent->id, item.name);
  if (itemsById_.count(item.id) != 0) {
    error = L"item '" + item.id + L"' is defined twice";
    return nullptr;
  }
  if (branchesById_.count(item.id) != 0) {
    error = L"item '" + item.id + L"' has the ID of a branch";
    return nullptr;
  }
  item.parent = parent;
  items_.push_back(std::make_unique<Item>(std::move(item)));
  Item* raw = items_.back().get();
  parent->items.push_back(raw);
  itemsById_.emplace(raw->id, raw);
  return raw;
}

std::shared_ptr<AddressSpace> AddressSpace::Parse(const std::wstring& text, std::wstring& error) {
  auto space = std::make_shared<AddressSpace>();
  const FILETIME now = Now();
  Branch* current = &space->root_;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;

    std::vector<std::wstring> tokens;
    std::wstring problem;
    if (!Tokenize(line, tokens, problem)) {
      error = LineError(lineNumber, problem);
      return nullptr;
    }
    if (tokens.empty()) continue;

    if (tokens[0] == L"branch") {
      if (tokens.size() == 1) {
        current = &space->root_;
        continue;
      }
      if (tokens.size() > 2) {
        error = LineError(lineNumber, L"branch takes one dotted path");
        return nullptr;
      }
      current = space->EnsureBranch(tokens[1], problem);
      if (current == nullptr) {
        error = LineError(lineNumber, problem);
        return nullptr;
      }
      continue;
    }
    if (tokens[0] != L"item") {
      error = LineError(lineNumber, L"unknown statement '" + tokens[0] + L"' (expected branch or item)");
      return nullptr;
    }
    if (tokens.size() < 4) {
      error = LineError(lineNumber, L"item needs a name, a type and a value");
      return nullptr;
    }
    Item item;
    item.name = tokens[1];
    if (!ValidName(item.name)) {
      error = LineError(lineNumber, L"invalid item name '" + item.name + L"'");
      return nullptr;
    }
    if (!ParseType(tokens[2], item.type)) {
      error = LineError(lineNumber, L"unknown type '" + tokens[2] + L"'");
      return nullptr;
    }
    item.quality = OPC_QUALITY_GOOD;
    item.rights = OPC_READABLE | OPC_WRITEABLE;
    item.timestamp = now;
    LONG lowerBound = 0;
    bool haveQuality = false, haveRights = false, haveBehaviour = false;
    for (size_t i = 4; i < tokens.size(); ++i) {
      const std::wstring& t = tokens[i];
      bool duplicate = false;
      const size_t equals = t.find(L'=');
      if (equals != std::wstring::npos || t == L"novqt" || t == L"byref") {
        const std::wstring key = t.substr(0, equals);
        const std::wstring value = equals == std::wstring::npos ? L"" : t.substr(equals + 1);
        long long bound = 0;
        bool ok = true;
        if (key == L"time") ok = ParseTimeStamp(value, item.timestamp);
        else if (key == L"readerror") ok = ParseHresult(value, item.readError);
        else if (key == L"readdelay") ok = ParseSigned(value, 0, 60000, item.readDelayMs);
        else if (key == L"writeerror") ok = ParseHresult(value, item.writeError);
        else if (key == L"novqt") item.refusesVqt = true;
        else if (key == L"byref") ok = (item.type & VT_ARRAY) == 0 && (item.byref = true);
        else if (key == L"lbound") ok = ParseSigned(value, -1000000, 1000000, bound) && (item.type & VT_ARRAY) != 0;
        else ok = false;
        lowerBound = static_cast<LONG>(bound == 0 ? lowerBound : bound);
        if (!ok) {
          error = LineError(lineNumber, L"invalid option '" + t + L"'");
          return nullptr;
        }
        continue;
      }
      if (t.find(L'(') != std::wstring::npos) {
        duplicate = haveBehaviour;
        haveBehaviour = true;
        if (!ParseBehaviour(t, item.behaviour)) {
          error = LineError(lineNumber, L"invalid behaviour '" + t +
                                            L"' (ramp(low,high,step) or random(low,high,step))");
          return nullptr;
        }
        if ((item.type & VT_ARRAY) != 0 || !IsNumeric(item.type)) {
          error = LineError(lineNumber, L"behaviour '" + t + L"' needs a numeric scalar type");
          return nullptr;
        }
      } else if (ParseRights(t, item.rights)) {
        duplicate = haveRights;
        haveRights = true;
      } else if (ParseQuality(t, item.quality)) {
        duplicate = haveQuality;
        haveQuality = true;
      } else {
        error = LineError(lineNumber, L"'" + t + L"' is neither a quality, access rights nor a behaviour");
        return nullptr;
      }
      if (duplicate) {
        error = LineError(lineNumber, L"'" + t + L"' repeats a setting given before");
        return nullptr;
      }
    }
    if (!ParseValue(tokens[3], item.type, lowerBound, item.value.get())) {
      error = LineError(lineNumber, L"value '" + tokens[3] + L"' is not a valid " + tokens[2]);
      return nullptr;
    }
    if (space->AddItem(current, std::move(item), problem) == nullptr) {
      error = LineError(lineNumber, problem);
      return nullptr;
    }
  }
  return space;
}

std::shared_ptr<AddressSpace> AddressSpace::Generate(DWORD branches, DWORD itemsPerBranch) {
  auto space = std::make_shared<AddressSpace>();
  const FILETIME now = Now();
  const size_t total = static_cast<size_t>(branches) * itemsPerBranch;
  space->items_.reserve(total);
  space->itemsById_.reserve(total);
  space->branchesById_.reserve(branches + 1);
  space->root_.branches.reserve(branches);
  wchar_t name[32];
  for (DWORD b = 0; b < branches; ++b) {
    auto branch = std::make_unique<Branch>();
    std::swprintf(name, 32, L"B%04lu", static_cast<unsigned long>(b));
    branch->name = name;
    branch->id = name;
    branch->parent = &space->root_;
    branch->items.reserve(itemsPerBranch);
    Branch* parent = branch.get();
    space->branchesById_.emplace(parent->id, parent);
    space->root_.branches.push_back(std::move(branch));
    for (DWORD i = 0; i < itemsPerBranch; ++i) {
      auto item = std::make_unique<Item>();
      std::swprintf(name, 32, L"I%05lu", static_cast<unsigned long>(i));
      item->name = name;
      item->id = parent->id + L"." + item->name;
      item->type = VT_R8;
      item->rights = OPC_READABLE | OPC_WRITEABLE;
      item->parent = parent;
      item->quality = OPC_QUALITY_GOOD;
      item->timestamp = now;
      // The value tells which item answered: branch * itemsPerBranch + item.
      item->value.get()->vt = VT_R8;
      item->value.get()->dblVal = static_cast<double>(b) * itemsPerBranch + i;
      parent->items.push_back(item.get());
      space->itemsById_.emplace(item->id, item.get());
      space->items_.push_back(std::move(item));
    }
  }
  return space;
}

const Item* AddressSpace::FindItem(const std::wstring& id) const {
  auto found = itemsById_.find(id);
  return found == itemsById_.end() ? nullptr : found->second;
}

Item* AddressSpace::FindItem(const std::wstring& id) {
  auto found = itemsById_.find(id);
  return found == itemsById_.end() ? nullptr : found->second;
}

const Branch* AddressSpace::FindBranch(const std::wstring& id) const {
  auto found = branchesById_.find(id);
  return found == branchesById_.end() ? nullptr : found->second;
}

void AddressSpace::ReadLocked(Item& item, VARIANT* value, WORD* quality, FILETIME* timestamp) const {
  const Behaviour& b = item.behaviour;
  if (b.kind != BehaviourKind::kNone) {
    VARIANT r8;
    ::VariantInit(&r8);
    if (SUCCEEDED(::VariantChangeType(&r8, item.value.get(), 0, VT_R8))) {
      double v = r8.dblVal;
      if (b.kind == BehaviourKind::kRamp) {
        v += b.step;
        if (v > b.high) v = b.low;
      } else {
        random_ ^= random_ << 13;
        random_ ^= random_ >> 7;
        random_ ^= random_ << 17;
        const double unit = static_cast<double>(random_ >> 11) / 9007199254740992.0;  // [0,1)
        v += (unit * 2.0 - 1.0) * b.step;
        if (v < b.low) v = b.low;
        if (v > b.high) v = b.high;
      }
      r8.dblVal = v;
      VARIANT next;
      ::VariantInit(&next);
      if (SUCCEEDED(::VariantChangeType(&next, &r8, 0, item.type))) {
        ::VariantClear(item.value.get());
        *item.value.get() = next;
        item.timestamp = Now();
      }
    }
  }
  if (value != nullptr) ::VariantCopy(value, item.value.get());
  if (quality != nullptr) *quality = item.quality;
  if (timestamp != nullptr) *timestamp = item.timestamp;
}

HRESULT ConvertVariant(VARIANT* dst, const VARIANT* src, VARTYPE vt) {
  if (vt == VT_EMPTY || src->vt == vt) return ::VariantCopy(dst, const_cast<VARIANT*>(src));
  if ((vt & VT_ARRAY) == 0) {
    return ::VariantChangeType(dst, const_cast<VARIANT*>(src), 0, vt);
  }
  if ((src->vt & VT_ARRAY) == 0 || (src->vt & VT_BYREF) != 0 || src->parray == nullptr ||
      ::SafeArrayGetDim(src->parray) != 1) {
    return DISP_E_TYPEMISMATCH;
  }
  const VARTYPE from = src->vt & ~VT_ARRAY;
  const VARTYPE to = vt & ~VT_ARRAY;
  LONG low = 0, high = -1;
  ::SafeArrayGetLBound(src->parray, 1, &low);
  ::SafeArrayGetUBound(src->parray, 1, &high);
  SAFEARRAY* out = ::SafeArrayCreateVector(to, 0, static_cast<ULONG>(high - low + 1));
  if (out == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = S_OK;
  for (LONG i = low; i <= high && SUCCEEDED(hr); ++i) {
    VARIANT element, converted;
    ::VariantInit(&element);
    ::VariantInit(&converted);
    if (from == VT_VARIANT) {
      hr = ::SafeArrayGetElement(src->parray, &i, &element);
    } else {
      element.vt = from;
      hr = ::SafeArrayGetElement(src->parray, &i, from == VT_BSTR ? static_cast<void*>(&element.bstrVal)
                                                                   : static_cast<void*>(&element.llVal));
      if (FAILED(hr)) element.vt = VT_EMPTY;
    }
    if (SUCCEEDED(hr)) {
      hr = to == VT_VARIANT ? ::VariantCopy(&converted, &element)
                            : ::VariantChangeType(&converted, &element, 0, to);
    }
    LONG index = i - low;
    if (SUCCEEDED(hr)) hr = ::SafeArrayPutElement(out, &index, ElementData(converted, to));
    ::VariantClear(&element);
    ::VariantClear(&converted);
  }
  if (FAILED(hr)) {
    ::SafeArrayDestroy(out);
    return hr;
  }
  ::VariantClear(dst);
  dst->vt = vt;
  dst->parray = out;
  return S_OK;
}

bool MatchesWildcard(const std::wstring& pattern, const std::wstring& name) {
  if (pattern.empty()) return true;
  // Iterative '*' matching with one back-track point.
  size_t p = 0, n = 0, star = std::wstring::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      mark = n;
    } else if (star != std::wstring::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

}  // namespace krelta::sim
