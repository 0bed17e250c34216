# add_delay_imports(<target> <dll base name> <Function@argument bytes>...)
#
# Links <target> against a delay-load import library for the DLL, made with
# dlltool from the functions listed, so that the DLL is loaded on first use
# (after the program has restricted the DLL search) rather than by the loader
# at start-up. The argument bytes give the 32-bit stdcall decoration; 64-bit
# names have none.
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
  endforeach()
  file(WRITE ${def} "${content}")
  add_custom_command(OUTPUT ${lib}
    COMMAND ${MINGW_TRIPLE}-dlltool --kill-at --input-def ${def} --dllname ${dll}.dll
            --output-delaylib ${lib}
    DEPENDS ${def}
    COMMENT "Delay-load import library for ${dll}.dll")
  add_custom_target(${target}_delay_${dll} DEPENDS ${lib})
  add_dependencies(${target} ${target}_delay_${dll})
  target_link_libraries(${target} PRIVATE ${lib})
endfunction()
