# morvane_add_module(NAME source...)
#
# Builds the loadable module file NAME.so for the Morvane host from the
# given sources: no "lib" prefix, hidden visibility (only the entry points
# defined with MORVANE_MODULE_EXPORT are exported), every symbol resolved at
# link time against the host SDK (-Wl,--no-undefined), linked to
# Morvane::sdk. Add sources and libraries to NAME as to any target.
#
# Set MORVANE_MODULE_ALLOW_UNDEFINED to ON before the call when the host
# executable provides symbols the module needs (a sanitizer runtime linked
# into the executable only, as clang's is).
function(morvane_add_module name)
  if(NOT ARGN)
    message(FATAL_ERROR "morvane_add_module(${name}): no source files given")
  endif()
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE Morvane::sdk)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
  )
  target_compile_features(${name} PRIVATE cxx_std_20)
  if(NOT MORVANE_MODULE_ALLOW_UNDEFINED)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
