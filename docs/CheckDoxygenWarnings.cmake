# Fails the documentation build on anything public left undocumented; other Doxygen warnings are
# shown and tolerated.
file(STRINGS "${WARNINGS}" lines)
set(undocumented 0)
foreach(line IN LISTS lines)
  message("${line}")
  if(line MATCHES "is not documented")
    math(EXPR undocumented "${undocumented} + 1")
  endif()
endforeach()
if(undocumented GREATER 0)
  message(FATAL_ERROR "${undocumented} public declaration(s) without documentation: see docs/Documenting.md")
endif()
