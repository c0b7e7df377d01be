# Read by the top CMakeLists.txt before the programs' folders, which install
# their manual pages and metainfo with what is set here.

# The package's changelog gets an entry for each release: its first entry
# gives the release's version, date (for the AppStream metainfo) and the
# package's maintainer.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog changelog_lines)
list(GET changelog_lines 0 changelog_head)
if(NOT changelog_head MATCHES "^noctra \\(([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line names no version")
endif()
set(changelog_version ${CMAKE_MATCH_1})
list(FILTER changelog_lines INCLUDE REGEX "^ -- ")
list(GET changelog_lines 0 changelog_trailer)
if(NOT changelog_trailer MATCHES "^ -- (.+ <[^>]+>)  [A-Z][a-z][a-z], ([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+)")
  message(FATAL_ERROR "packaging/changelog: the first entry has no maintainer and date")
endif()
set(NOCTRA_PACKAGE_MAINTAINER ${CMAKE_MATCH_1})
set(day ${CMAKE_MATCH_2})
set(year ${CMAKE_MATCH_4})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_3} month)
math(EXPR month "${month} + 1")
# The release date in the AppStream metainfo, as YYYY-MM-DD.
string(REGEX REPLACE "^([1-9])$" "0\\1" month ${month})
string(REGEX REPLACE "^([1-9])$" "0\\1" day ${day})
set(NOCTRA_RELEASE_DATE "${year}-${month}-${day}")
if(NOT changelog_version STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog's first entry is for ${changelog_version}, "
                  "the project is ${PROJECT_VERSION}: scripts/package.sh refuses to package it")
endif()

# noctra_add_man_page(<template>.<section>.in) fills in the version and
# installs the page gzipped (gzip -n: no name or time stamp, so the package
# builds the same twice) into the man folder of its section.
function(noctra_add_man_page template)
  get_filename_component(page ${template} NAME_WLE)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${page})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${page})
  configure_file(${template} ${out} @ONLY)
  add_custom_command(OUTPUT ${out}.gz COMMAND gzip -9nkf ${out} DEPENDS ${out}
                     COMMENT "Compressing the manual page ${page}")
  add_custom_target(man_${page} ALL DEPENDS ${out}.gz)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
