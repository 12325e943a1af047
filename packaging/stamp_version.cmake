# Run by the build (cmake -P) after the launcher is linked: the version the
# programs themselves report ("quillon --version") becomes the packages'
# version, the metainfo's release, the changelogs' entry and the copyright
# notice's last year, so a package
# never carries a number its programs do not show.
#   -DLAUNCHER=path -DSOURCE_DIR=packaging/ -DOUT_DIR=dir -DMAINTAINER=text
execute_process(COMMAND "${LAUNCHER}" --version OUTPUT_VARIABLE answer RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT answer MATCHES "^quillon ([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+)\n")
  message(FATAL_ERROR "quillon --version gave '${answer}' (status ${status})")
endif()
set(QUASK_VERSION "${CMAKE_MATCH_1}")
file(WRITE "${OUT_DIR}/version.txt" "${QUASK_VERSION}\n")

# Dates honour SOURCE_DATE_EPOCH, for builds that must repeat byte for byte.
string(TIMESTAMP QUASK_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP QUASK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP QUASK_YEAR "%Y" UTC)
set(QUASK_MAINTAINER "${MAINTAINER}")
configure_file("${SOURCE_DIR}/org.quask.Quask.metainfo.xml.in" "${OUT_DIR}/org.quask.Quask.metainfo.xml" @ONLY)

foreach(QUASK_PACKAGE IN ITEMS quask quask-tools)
  set(dir "${OUT_DIR}/doc/${QUASK_PACKAGE}")
  # Each package's own paragraphs: the files in it under other licences.
  file(READ "${SOURCE_DIR}/copyright-${QUASK_PACKAGE}.in" QUASK_BUNDLED)
  string(CONFIGURE "${QUASK_BUNDLED}" QUASK_BUNDLED @ONLY)
  configure_file("${SOURCE_DIR}/copyright.in" "${dir}/copyright" @ONLY)
  configure_file("${SOURCE_DIR}/changelog.in" "${dir}/changelog" @ONLY)
  # gzip -n leaves out the name and time, as Debian packages want.
  execute_process(COMMAND gzip -9nf "${dir}/changelog" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${dir}/changelog failed")
  endif()
endforeach()
