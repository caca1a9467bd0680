# Mends and then checks the parameter descriptors of a widl 7.0 stubless proxy file (x_p.c), so
# that every method marshals as the published OPC interfaces do. widl 7.0 gets three shapes wrong:
#  - an [out] or [in, out] string (LPWSTR*, LPOLESTR*) is described by its inner unique pointer
#    instead of the reference pointer to it: out strings come back null;
#  - an [out, string, size_is(, n)] LPWSTR** (LookupItemIDs' ppszNewItemIDs) is described by the
#    array itself, two pointer levels short: the stub reads pointers out of its own stack slot;
#  - an [in, string, size_is(n)] LPWSTR* (IOPCBrowse::GetProperties' pszItemIDs) points four
#    bytes into its array descriptor, at no descriptor at all.
# Each such parameter is pointed at the descriptor widl generated for it anyway. Afterwards every
# parameter of every procedure must pass the checks at the end, or the build stops: a different
# widl that describes a parameter in a way we do not know cannot produce stubs silently.
# Usage: cmake -DFILE=<x_p.c> -P fix_widl_descriptors.cmake
cmake_minimum_required(VERSION 3.13)

file(READ ${FILE} text)
string(FIND "${text}" "__MIDL_ProcFormatString =" procStart)
string(FIND "${text}" "__MIDL_TypeFormatString =" typeStart)
if(procStart EQUAL -1 OR typeStart EQUAL -1 OR typeStart LESS procStart)
  message(FATAL_ERROR "${FILE}: no procedure and type format strings where widl 7.0 writes them")
endif()
math(EXPR procLength "${typeStart} - ${procStart}")
string(SUBSTRING "${text}" ${procStart} ${procLength} procText)
string(SUBSTRING "${text}" ${typeStart} -1 typeText)

# ---- The type format string: every descriptor that starts a line with "/* offset" ----
# kind_<offset>: its first format character; target_<offset>: where a pointer descriptor leads.
string(REPLACE ";" "," typeLines "${typeText}")
string(REPLACE "\n" ";" typeLines "${typeLines}")
set(labels)
set(pending "")
set(pendingOffsetOf "")
foreach(line IN LISTS typeLines)
  if(line MATCHES "^/\\* +([0-9]+)")
    set(pending ${CMAKE_MATCH_1})
    list(APPEND labels ${pending})
  elseif(NOT pending STREQUAL "")
    if(line MATCHES "^[ \t]*(0x[0-9a-f]+),[ \t]*(0x[0-9a-f]+)?")
      set(kind_${pending} ${CMAKE_MATCH_1})
      set(attr_${pending} "${CMAKE_MATCH_2}")
      # Pointers without [simple_pointer] (0x08) carry a 16-bit relative offset next.
      if(kind_${pending} MATCHES "^0x1[1-4]$" AND NOT attr_${pending} STREQUAL "")
        math(EXPR simple "${attr_${pending}} & 0x08")
        if(simple EQUAL 0)
          set(pendingOffsetOf ${pending})
        endif()
      endif()
    else()
      set(kind_${pending} "?")
    endif()
    set(pending "")
  elseif(NOT pendingOffsetOf STREQUAL "")
    if(line MATCHES "^[ \t]*NdrFcShort\\((0x[0-9a-f]+)\\)")
      math(EXPR relative "${CMAKE_MATCH_1}")
      if(relative GREATER_EQUAL 32768)
        math(EXPR relative "${relative} - 65536")
      endif()
      math(EXPR target "${pendingOffsetOf} + 2 + ${relative}")
      set(target_${pendingOffsetOf} ${target})
      # The reference pointer with [allocated_on_stack] [pointer_deref] (0x14) to a descriptor,
      # and the unique/object pointer to one.
      if(kind_${pendingOffsetOf} STREQUAL "0x11" AND attr_${pendingOffsetOf} STREQUAL "0x14")
        if(NOT DEFINED outerRef_${target})
          set(outerRef_${target} ${pendingOffsetOf})
        endif()
      elseif(kind_${pendingOffsetOf} MATCHES "^0x1[23]$")
        if(NOT DEFINED innerPointer_${target})
          set(innerPointer_${target} ${pendingOffsetOf})
        endif()
      elseif(kind_${pendingOffsetOf} STREQUAL "0x11" AND attr_${pendingOffsetOf} STREQUAL "0x0")
        set(plainRef_${target} ${pendingOffsetOf})
      endif()
    endif()
    set(pendingOffsetOf "")
  endif()
endforeach()
list(LENGTH labels labelCount)
if(labelCount EQUAL 0)
  message(FATAL_ERROR "${FILE}: no type descriptors found")
endif()

function(is_pointer_kind offset result)
  set(${result} FALSE PARENT_SCOPE)
  if(DEFINED kind_${offset} AND kind_${offset} MATCHES "^0x1[1-4]$")
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

# ---- The procedure format string: one entry per parameter ----
string(REGEX MATCHALL
  "/\\* [0-9]+ \\((procedure [A-Za-z0-9_:]+|parameter [A-Za-z0-9_]+)\\) \\*/\n[^\n]*\n[^\n]*\n[^\n]*"
  entries "${procText}")
set(procedure "")
set(parameterCount 0)
set(problems "")
foreach(entry IN LISTS entries)
  if(entry MATCHES "^/\\* [0-9]+ \\(procedure ([A-Za-z0-9_:]+)\\)")
    set(procedure ${CMAKE_MATCH_1})
    continue()
  endif()
  string(REGEX MATCH "^/\\* [0-9]+ \\(parameter ([A-Za-z0-9_]+)\\)" _ "${entry}")
  set(name "${procedure} ${CMAKE_MATCH_1}")
  if(NOT entry MATCHES "NdrFcShort\\((0x[0-9a-f]+)\\),[ \t]*/\\* flags:")
    string(APPEND problems "\n  ${name}: no parameter flags")
    continue()
  endif()
  set(flags ${CMAKE_MATCH_1})
  math(EXPR parameterCount "${parameterCount} + 1")
  math(EXPR baseType "${flags} & 0x40")
  if(NOT baseType EQUAL 0)
    continue()
  endif()
  if(NOT entry MATCHES "NdrFcShort\\(0x[0-9a-f]+\\),([ \t]*)/\\* type offset = ([0-9]+) \\*/")
    string(APPEND problems "\n  ${name}: no type offset")
    continue()
  endif()
  set(offset ${CMAKE_MATCH_2})
  math(EXPR isIn "${flags} & 0x08")
  math(EXPR isOut "${flags} & 0x10")
  math(EXPR simpleRef "${flags} & 0x100")

  # The mends, each to a descriptor widl emitted for this very shape.
  set(mended "")
  if(NOT isOut EQUAL 0 AND simpleRef EQUAL 0 AND NOT kind_${offset} STREQUAL "0x11")
    if(DEFINED outerRef_${offset})
      set(mended ${outerRef_${offset}})  # LPWSTR*: the reference pointer to the string pointer
    elseif(DEFINED innerPointer_${offset} AND DEFINED outerRef_${innerPointer_${offset}})
      set(mended ${outerRef_${innerPointer_${offset}}})  # LPWSTR**: two levels up from the array
    endif()
  elseif(NOT simpleRef EQUAL 0 AND NOT isIn EQUAL 0 AND NOT DEFINED kind_${offset})
    # Inside a descriptor: the array that a plain reference pointer leads to, if that is where.
    set(start "")
    foreach(label IN LISTS labels)
      if(label LESS offset)
        set(start ${label})
      endif()
    endforeach()
    if(NOT start STREQUAL "" AND DEFINED plainRef_${start} AND kind_${start} MATCHES "^0x(1b|1c|21)$")
      set(mended ${start})
    endif()
  endif()
  if(NOT mended STREQUAL "")
    math(EXPR mendedHex "${mended}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "NdrFcShort\\(0x[0-9a-f]+\\),([ \t]*)/\\* type offset = ${offset} \\*/"
           "NdrFcShort(${mendedHex}),\\1/* type offset = ${mended} */" fixedEntry "${entry}")
    string(REPLACE "${entry}" "${fixedEntry}" text "${text}")
    set(offset ${mended})
  endif()

  # What every parameter descriptor must look like.
  is_pointer_kind(${offset} pointer)
  if(NOT DEFINED kind_${offset})
    string(APPEND problems "\n  ${name}: type offset ${offset} is not the start of a descriptor")
  elseif(NOT simpleRef EQUAL 0 AND pointer)
    string(APPEND problems "\n  ${name}: a simple reference to a pointer (${kind_${offset}} at ${offset})")
  elseif(simpleRef EQUAL 0 AND NOT isOut EQUAL 0 AND NOT kind_${offset} STREQUAL "0x11")
    string(APPEND problems "\n  ${name}: an [out] parameter not described by a reference pointer (${kind_${offset}} at ${offset})")
  elseif(simpleRef EQUAL 0 AND isOut EQUAL 0 AND NOT pointer AND NOT kind_${offset} MATCHES "^0x(1b|1c|21|2f)$")
    string(APPEND problems "\n  ${name}: an [in] parameter described by ${kind_${offset}} at ${offset}")
  endif()
endforeach()

if(parameterCount EQUAL 0)
  message(FATAL_ERROR "${FILE}: no parameter descriptors found")
endif()
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${FILE}: widl described parameters in a way the proxy/stub cannot use:${problems}")
endif()
file(WRITE ${FILE} "${text}")
