# zr_add_map_file(target): after each link, write the executable's map file
# beside it (its name with the extension changed to .map, where the exception
# log looks for it), so that exception reports name unit, procedure and line.
# The target is compiled with debug information: without the line table the
# map can name procedures only. Works in this tree and, installed with the
# package, in an application's own build (zrmap from the package's bin folder).
function(zr_add_map_file target)
  target_compile_options(${target} PRIVATE -g)
  if(TARGET zrmap)
    set(tool zrmap)
    add_dependencies(${target} zrmap)
  else()
    # The package config found the zrmap installed with it (ZR_ZRMAP).
    find_program(ZR_ZRMAP zrmap REQUIRED)
    set(tool "${ZR_ZRMAP}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${tool} $<TARGET_FILE:${target}>
    COMMENT "Writing the map file of ${target}"
    VERBATIM)
endfunction()
