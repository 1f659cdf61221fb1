# Third-party libraries, installed from Debian by the run script and built
# here with their own flags. Each recipe appends to ORV_DEPENDENCY_LIBS and
# to ORV_DEPENDENCY_LICENSES ("shipped-name|source-path").
set(ORV_DEPENDENCY_LIBS "")
set(ORV_DEPENDENCY_LICENSES "")
file(GLOB ORV_DEPENDENCY_RECIPES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/deps/*.cmake)
foreach(recipe IN LISTS ORV_DEPENDENCY_RECIPES)
  include(${recipe})
endforeach()
