# RINGWELL_SANITIZE: "address,undefined" or "thread" builds everything with those
# sanitizers; any finding stops the program with a non-zero exit.
if(RINGWELL_SANITIZE)
  if(RINGWELL_SANITIZE MATCHES "thread" AND RINGWELL_SANITIZE MATCHES "address")
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=${RINGWELL_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${RINGWELL_SANITIZE})
  add_compile_definitions(RINGWELL_SANITIZED=1)
endif()
