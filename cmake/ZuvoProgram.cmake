# zuvo_add_program(<Program> LIBRARY <library> SOURCES <file>... [LIBS <target>...]
#                  [PRIVATE_LIBS <target>...])
#
# A program's code is a static library, which its tests link, plus main.cpp in the program's
# folder, which holds only the program's entry. LIBS are part of the library's interface
# (its headers use them); PRIVATE_LIBS only its sources.
function(zuvo_add_program program)
  cmake_parse_arguments(P "" "LIBRARY" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  if(NOT P_LIBRARY OR NOT P_SOURCES)
    message(FATAL_ERROR "zuvo_add_program(${program}) needs LIBRARY and SOURCES")
  endif()
  add_library(${P_LIBRARY} STATIC ${P_SOURCES})
  target_link_libraries(${P_LIBRARY} PUBLIC ${P_LIBS} PRIVATE ${P_PRIVATE_LIBS})
  add_executable(${program} main.cpp)
  target_link_libraries(${program} PRIVATE ${P_LIBRARY})
endfunction()
