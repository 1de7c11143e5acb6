# zr_add_resources(target dir): compiles every file under <dir>/resources into
# the target as a named resource of that module (name = file name without
# extension, upper-cased). Filled in by the resource support.
function(zr_add_resources target dir)
endfunction()
