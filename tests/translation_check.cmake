# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when the English translation does not hold exactly the texts of the window's sources and
# forms, or leaves one untranslated. Run by ctest with LUPDATE_COMMAND (lupdate and its arguments
# up to -ts, separated by "|"), TS (res/korvane_en.ts) and WORK (a folder for a copy of it).
string(REPLACE "|" ";" lupdate "${LUPDATE_COMMAND}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY_FILE "${TS}" "${WORK}/current.ts")
execute_process(COMMAND ${lupdate} "${WORK}/current.ts" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "lupdate failed (${status})")
endif()
file(READ "${TS}" committed)
file(READ "${WORK}/current.ts" current)
set(advice "build the target korvane-lupdate, translate the texts it marks unfinished in "
           "res/korvane_en.ts, and commit the file")
if(NOT committed STREQUAL current)
  execute_process(COMMAND diff -u "${TS}" "${WORK}/current.ts")
  message(FATAL_ERROR "res/korvane_en.ts does not hold the texts of the sources: " ${advice})
endif()
string(REGEX MATCHALL "<source>[^<]*</source>[ \n]*<translation type=\"unfinished\""
       unfinished "${committed}")
if(unfinished)
  message(FATAL_ERROR "res/korvane_en.ts leaves texts untranslated:\n${unfinished}\n" ${advice})
endif()
