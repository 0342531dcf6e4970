if(VKCAM_SANITIZE)
  string(REPLACE ";" "," _vkcam_sanitizers "${VKCAM_SANITIZE}")
  add_compile_options(-fsanitize=${_vkcam_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_vkcam_sanitizers})
endif()

# Fuzzing builds instrument every library for coverage, so the fuzzers see
# the code they drive and not only their own file.
if(VKCAM_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
