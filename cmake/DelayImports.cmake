# add_delay_imports(<target> <dll base name> <Function@argument bytes>...)
#
# Links <target> against a delay-load import library for the DLL, made with
# dlltool from the functions listed, so that the DLL is loaded on first use
# (after the program has restricted the DLL search) rather than by the loader
# at start-up. The argument bytes give the 32-bit stdcall decoration; 64-bit
# names have none.
#
# Each function's stub is also named to the linker (-u). Code calls through
# the __imp_ slot, and for i686 ld then drops the member's .text, which holds
# the thunk that loads the DLL: the slot would stay 0 and the first call jump
# to address 0. tests/native checks that every slot the code calls through is
# bound.
function(add_delay_imports target dll)
  set(dir ${CMAKE_BINARY_DIR}/delayload)
  set(def ${dir}/${dll}.def)
  set(lib ${dir}/lib${dll}_delay.a)
  set(content "LIBRARY ${dll}.dll\nEXPORTS\n")
  foreach(entry IN LISTS ARGN)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(REGEX REPLACE "@[0-9]+$" "" entry "${entry}")
    endif()
    string(APPEND content "  ${entry}\n")
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      target_link_options(${target} PRIVATE "LINKER:-u,${entry}")
    else()
      target_link_options(${target} PRIVATE "LINKER:-u,_${entry}")
    endif()
  endforeach()
  # One import library per DLL, shared by every program that delay-loads it.
  if(NOT TARGET delayload_${dll})
    file(WRITE ${def} "${content}")
    add_custom_command(OUTPUT ${lib}
      COMMAND ${MINGW_TRIPLE}-dlltool --kill-at --input-def ${def} --dllname ${dll}.dll
              --output-delaylib ${lib}
      DEPENDS ${def}
      COMMENT "Delay-load import library for ${dll}.dll")
    add_custom_target(delayload_${dll} DEPENDS ${lib})
  endif()
  add_dependencies(${target} delayload_${dll})
  target_link_libraries(${target} PRIVATE ${lib})
endfunction()
