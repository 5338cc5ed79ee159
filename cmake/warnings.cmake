# Warnings for every target of this project; the build is kept clean of them.
function(quillstone_dat_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual)
  if(QUILLSTONE_DAT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
