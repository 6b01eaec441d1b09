# Sanitizer builds: ZRL_SANITIZE=address,undefined or ZRL_SANITIZE=thread.
if(ZRL_SANITIZE)
  set(_zrl_san_flags -fsanitize=${ZRL_SANITIZE} -fno-omit-frame-pointer -g)
  if(ZRL_SANITIZE MATCHES "undefined")
    list(APPEND _zrl_san_flags -fno-sanitize-recover=undefined)
  endif()
  if(ZRL_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Asio's thread pool issues a standalone fence, which g++ warns that the
    # thread sanitizer does not model; its queues synchronise through
    # mutexes that it does model.
    list(APPEND _zrl_san_flags -Wno-tsan)
  endif()
  add_compile_options(${_zrl_san_flags})
  add_link_options(-fsanitize=${ZRL_SANITIZE})
endif()
