# Applied to everything in the build so that every object sees the same runtime.
if(TESSARO_SANITIZE)
  set(_flags "-fsanitize=${TESSARO_SANITIZE}" -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_flags})
  add_link_options("-fsanitize=${TESSARO_SANITIZE}")
  add_compile_definitions(TESSARO_SANITIZED=1)
endif()
