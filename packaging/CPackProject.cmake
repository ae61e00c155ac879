# Read by cpack before it packs: the time stamps inside the package (its files, its archives'
# members) are the date of the commit it is built from, SOURCE_DATE_EPOCH, unless the caller set
# one; so two builds of one commit give the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_LINDQVAR_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch ERROR_VARIABLE why RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0 AND epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  else()
    message(WARNING "The package's time stamps are the build's, so it will not be reproducible: "
                    "SOURCE_DATE_EPOCH is not set and git gives no commit date (${status}: ${why})")
  endif()
endif()
