# miniz 2.1.0: ZIP reading, inflating and CRC-32. cmake/deps/miniz.sh puts
# miniz.c, miniz.h and LICENSE into a cache outside the source tree; this
# builds them as a static library with miniz's own defaults (none of our
# warning flags, nothing that turns its checks off).
set(_orv_miniz_default /var/cache/orvupdaterw7/miniz-2.1.0)
if(DEFINED ENV{ORV_MINIZ_DIR} AND NOT "$ENV{ORV_MINIZ_DIR}" STREQUAL "")
  set(_orv_miniz_default $ENV{ORV_MINIZ_DIR})
endif()
set(ORV_MINIZ_DIR ${_orv_miniz_default} CACHE PATH "Folder holding miniz.c, miniz.h and LICENSE of miniz 2.1.0")

foreach(_orv_file miniz.c miniz.h LICENSE)
  if(NOT EXISTS ${ORV_MINIZ_DIR}/${_orv_file})
    message(FATAL_ERROR "${ORV_MINIZ_DIR}/${_orv_file} is missing: run cmake/deps/miniz.sh (./run build does)")
  endif()
endforeach()

add_library(miniz STATIC ${ORV_MINIZ_DIR}/miniz.c)
# SYSTEM: our -Werror code includes miniz.h and must not inherit its warnings.
target_include_directories(miniz SYSTEM PUBLIC ${ORV_MINIZ_DIR})

list(APPEND ORV_DEPENDENCY_LIBS miniz)
list(APPEND ORV_DEPENDENCY_LICENSES "miniz-LICENSE.txt|${ORV_MINIZ_DIR}/LICENSE")
