# widl 7.0 describes an [out] or [in, out] string parameter (LPWSTR*, LPOLESTR*) by the string
# pointer itself instead of the reference pointer to it, so the stubless proxy marshals the
# address as text and out strings never come back. This points such parameters at the reference
# pointer, as it already does for every other pointer-to-pointer parameter.
# Usage: cmake -DFILE=<x_p.c> -P fix_string_out_params.cmake
file(READ ${FILE} text)
string(REGEX MATCHALL
  "/\\* [0-9]+ \\((LPWSTR|LPOLESTR) \\*\\) \\*/\n[ \t]+0x11, 0x14,[^\n]*\n[ \t]+NdrFcShort\\(0x2\\),[ \t]+/\\* Offset= 2 \\([0-9]+\\) \\*/"
  pairs "${text}")
foreach(pair IN LISTS pairs)
  string(REGEX REPLACE "^/\\* ([0-9]+) .*" "\\1" outer "${pair}")
  string(REGEX REPLACE ".*Offset= 2 \\(([0-9]+)\\).*" "\\1" inner "${pair}")
  math(EXPR outerHex "${outer}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE
    "NdrFcShort\\(0x[0-9a-fA-F]+\\),([ \t]+)/\\* type offset = ${inner} \\*/"
    "NdrFcShort(${outerHex}),\\1/* type offset = ${outer} */" text "${text}")
endforeach()
file(WRITE ${FILE} "${text}")
