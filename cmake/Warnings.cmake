# Warning flags for the project's own targets (not for third-party code).
function(tarvex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2
    -Wundef -Wcast-align -Wnon-virtual-dtor)
  if(TARVEX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
