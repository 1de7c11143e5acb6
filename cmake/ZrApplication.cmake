# zr_unwindable(target): builds the target so that a processor fault inside
# its code (a bad pointer, an integer division by zero) can be thrown as the
# framework's exception from the faulting instruction, and registers its code
# for that when it loads. Code built without it (and the C library) cannot be
# unwound from a fault: such a fault ends the process with a last report.
#
# zr_application(target): what an application built on the suite wants:
# zr_unwindable and its map file (zr_add_map_file).
set(ZR_UNWINDABLE_SOURCE "${CMAKE_CURRENT_LIST_DIR}/ZrUnwindableModule.cpp")

function(zr_unwindable target)
  target_compile_options(${target} PRIVATE -fnon-call-exceptions -fasynchronous-unwind-tables)
  target_sources(${target} PRIVATE "${ZR_UNWINDABLE_SOURCE}")
endfunction()

function(zr_application target)
  zr_unwindable(${target})
  zr_add_map_file(${target})
endfunction()
