# Run by the build: a build folder copied or moved away from where it was
# configured still names the old folders in its rules, so it would build (or
# call up to date) what is there, not what is here. Say so instead.
# ZR_INVOKED_FROM is the folder the build tool ran in (the shell's OLDPWD
# after the rule's own `cd` into the configured folder); empty where a
# generator does not tell it, and then nothing is checked.
if(ZR_INVOKED_FROM STREQUAL "")
  return()
endif()
file(REAL_PATH "${ZR_INVOKED_FROM}" here)
file(REAL_PATH "${ZR_CONFIGURED_BINARY_DIR}" made)
if(NOT here STREQUAL made)
  message(FATAL_ERROR
    "This build folder was configured as ${ZR_CONFIGURED_BINARY_DIR} and is now ${here} "
    "(copied or moved): its rules still build the old one. Configure it afresh: "
    "cmake -S ${ZR_CONFIGURED_SOURCE_DIR} -B ${here} --fresh")
endif()
