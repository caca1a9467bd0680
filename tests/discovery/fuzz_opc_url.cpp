// Server address text: parse, print, parse again. Printing normalises (empty host becomes
// "localhost", ports below 1 are dropped, the scheme word comes from the mask, which parsing
// leaves at 0), so the second and third parse must agree in every field and in their text,
// and the first must equal the second once normalised. A text that starts with "/" and has a
// ":" later reads as a host holding that "/" (the port separator wins over a "/" in first
// place); such a host cannot print back as itself, so those inputs only have to survive.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery/opc_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const krelta::OPCURL first(text);
  if (first.GetHost().find('/') != std::string::npos) {
    (void)first.ToString();
    return 0;
  }
  const krelta::OPCURL second(first.ToString());
  const krelta::OPCURL third(second.ToString());

  if (second.ToString() != third.ToString() || !second.Equals(third) ||
      second.GetClsid() != third.GetClsid()) {
    std::abort();
  }
  krelta::OPCURL normalised = first;
  if (normalised.GetHost().empty()) normalised.SetHost("localhost");
  if (normalised.GetPort() < 1) normalised.SetPort(0);
  if (!normalised.Equals(second)) std::abort();
  return 0;
}
