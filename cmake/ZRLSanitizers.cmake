# Sanitizer builds: ZRL_SANITIZE=address,undefined or ZRL_SANITIZE=thread.
if(ZRL_SANITIZE)
  set(_zrl_san_flags -fsanitize=${ZRL_SANITIZE} -fno-omit-frame-pointer -g)
  if(ZRL_SANITIZE MATCHES "undefined")
    list(APPEND _zrl_san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_zrl_san_flags})
  add_link_options(-fsanitize=${ZRL_SANITIZE})
endif()
