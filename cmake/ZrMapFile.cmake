# zr_add_map_file(target): after each link, write the executable's map file
# beside it (its name with the extension changed to .map, where the exception
# log looks for it), so that exception reports name unit, procedure and line.
# The target is compiled with debug information: without the line table the
# map can name procedures only.
function(zr_add_map_file target)
  target_compile_options(${target} PRIVATE -g)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND zrmap $<TARGET_FILE:${target}>
    COMMENT "Writing the map file of ${target}"
    VERBATIM)
  add_dependencies(${target} zrmap)
endfunction()
