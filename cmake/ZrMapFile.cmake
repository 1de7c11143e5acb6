# zr_add_map_file(target): after each link, write <executable>.map beside the
# executable, so the exception report can name unit, procedure and line.
function(zr_add_map_file target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:zrmap> $<TARGET_FILE:${target}> $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map
    COMMENT "Writing map file for ${target}"
    VERBATIM)
  add_dependencies(${target} zrmap)
endfunction()
