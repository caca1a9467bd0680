# Read by CPack before it installs and strips the programs (CPACK_PROJECT_CONFIG_FILE): strip
# writes the time of the strip into each program's header unless SOURCE_DATE_EPOCH fixes it, and
# the same tree packed twice would differ. 2000-01-01 00:00:00 UTC, the archive's file time too.
set(ENV{SOURCE_DATE_EPOCH} 946684800)
