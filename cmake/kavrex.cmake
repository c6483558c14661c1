# Helpers shared by the layer folders.

# kavrex_library(NAME SOURCES file... [DEPS target...]): a static library of
# the listed sources of the calling folder, linking (publicly) exactly the
# layers its files include.
function(kavrex_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()
