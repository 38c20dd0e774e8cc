# Writes OUTPUT with the commit the build is made from: the short hash of SOURCE's HEAD, with
# "+changes" when tracked files differ from it, "unknown" outside git. Rewritten only when it
# changes, so that what depends on it is rebuilt only then.
execute_process(COMMAND git -C "${SOURCE}" rev-parse --short HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR commit STREQUAL "")
  set(commit "unknown")
else()
  execute_process(COMMAND git -C "${SOURCE}" status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes ERROR_QUIET)
  if(NOT changes STREQUAL "")
    set(commit "${commit}+changes")
  endif()
endif()
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL "${commit}\n")
  file(WRITE "${OUTPUT}" "${commit}\n")
endif()
