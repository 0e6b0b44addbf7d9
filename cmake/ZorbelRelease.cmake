# A release build gives the same bytes from any folder at any time: build
# paths mapped away, no time stamp in a Windows program's header, archives
# without dates or owners, programs stripped. scripts/release.sh sets
# SOURCE_DATE_EPOCH from the commit for whatever reads the clock.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
add_link_options(-s)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
