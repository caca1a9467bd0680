# Run by CPack after it wrote the archive (CPACK_POST_BUILD_SCRIPTS). CPack's zip carries each
# file's times as the install step left them and lists files in the order it found them: the
# same tree packed twice gave two archives. This packs the same files again in a fixed order,
# with one fixed time and no extra fields, so the same tree always gives the same bytes.
foreach(package ${CPACK_PACKAGE_FILES})
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  file(ARCHIVE_EXTRACT INPUT "${package}" DESTINATION "${tree}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/*")
  list(SORT files)
  string(REPLACE ";" "\n" listed "${files}")
  file(WRITE "${tree}.list" "${listed}\n")
  set(ENV{TZ} UTC)
  execute_process(COMMAND touch -d "2000-01-01 00:00:00" ${files} WORKING_DIRECTORY "${tree}"
                  RESULT_VARIABLE touched)
  file(REMOVE "${package}")
  execute_process(COMMAND zip -X -D -q "${package}" -@ INPUT_FILE "${tree}.list" WORKING_DIRECTORY "${tree}"
                  RESULT_VARIABLE zipped)
  file(REMOVE_RECURSE "${tree}" "${tree}.list")
  if(NOT touched EQUAL 0 OR NOT zipped EQUAL 0)
    message(FATAL_ERROR "could not pack ${package} again in a fixed order (touch ${touched}, zip ${zipped})")
  endif()
endforeach()
