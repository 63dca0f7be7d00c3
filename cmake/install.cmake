# Installation: programs, the four libraries in lib/trend, the header, package files for
# pkg-config and CMake, the schema and the thresholds example, the man page, the documents
# in share/doc/trend, the bash
# completion, and the libraries' registrations in the system registry
# (share/trend-registry, found through XDG_DATA_DIRS), written with their installed paths.
include(CMakePackageConfigHelpers)
set(TREND_INSTALL_MODULEDIR lib/trend)
# Explicit modes, whatever the umask of the build or the installation: folders 755,
# programs and libraries 755, other files 644.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(trend_program_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(trend_file_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS trendhost trend-demo-data RUNTIME DESTINATION bin PERMISSIONS ${trend_program_permissions})
install(TARGETS Orrery Vantor Lanyard Tessel trendreport LIBRARY DESTINATION ${TREND_INSTALL_MODULEDIR}
        PERMISSIONS ${trend_program_permissions})
install(FILES ${PROJECT_SOURCE_DIR}/frame/include/trendframe.h DESTINATION include PERMISSIONS ${trend_file_permissions})
install(FILES ${PROJECT_SOURCE_DIR}/schema/tables.sql ${PROJECT_SOURCE_DIR}/schema/thresholds.example.csv
              ${PROJECT_SOURCE_DIR}/schema/groups.example.csv ${PROJECT_SOURCE_DIR}/schema/scenario.example.csv
        DESTINATION share/trend PERMISSIONS ${trend_file_permissions})
install(FILES ${PROJECT_SOURCE_DIR}/docs/trendhost.1 DESTINATION share/man/man1 PERMISSIONS ${trend_file_permissions})
# The documents a planner reads: the README, the methods reference, the guide to a first
# forecast on one's own database, and the alert rules.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/methods.md
              ${PROJECT_SOURCE_DIR}/docs/own-database.md ${PROJECT_SOURCE_DIR}/docs/capacity-rules.yml
              ${PROJECT_SOURCE_DIR}/docs/node-exporter-map.csv
        DESTINATION share/doc/trend PERMISSIONS ${trend_file_permissions})
# The Python module, where the system's python3 finds it under the installation's prefix
# (decided when installing, as cpack and `cmake --install --prefix` choose the prefix
# then): lib/python3/dist-packages under /usr, lib/python3.X/dist-packages elsewhere (Debian's
# python3 reads /usr/local/lib/python3.X/dist-packages).
find_program(TREND_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
set(trend_python_version 3)
if(TREND_SYSTEM_PYTHON)
  execute_process(COMMAND ${TREND_SYSTEM_PYTHON} -c "import sys; print('%d.%d' % sys.version_info[:2])"
                  OUTPUT_VARIABLE trend_python_version OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(python_folder lib/python3/dist-packages)
  else()
    set(python_folder lib/python${trend_python_version}/dist-packages)
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/python/trendlib\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${python_folder}\"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                             WORLD_READ WORLD_EXECUTE
       PATTERN __pycache__ EXCLUDE)
")
install(FILES ${PROJECT_SOURCE_DIR}/scripts/trendhost.bash-completion
        DESTINATION share/bash-completion/completions RENAME trendhost
        PERMISSIONS ${trend_file_permissions})

set(TRENDFRAME_DL_LIBS "")
if(CMAKE_DL_LIBS)
  set(TRENDFRAME_DL_LIBS "-l${CMAKE_DL_LIBS}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/trendframe.pc.in ${PROJECT_BINARY_DIR}/trendframe.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/trendframe.pc DESTINATION lib/pkgconfig
        PERMISSIONS ${trend_file_permissions})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TrendFrameConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/TrendFrameConfig.cmake
              ${PROJECT_BINARY_DIR}/TrendFrameConfigVersion.cmake
        DESTINATION lib/cmake/TrendFrame PERMISSIONS ${trend_file_permissions})

# The registrations: the libraries' own DllRegisterServer writes them (run by the build's
# trendhost into a scratch folder), then each Library= line names the installed file.
install(CODE "
  set(registry \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/trend-registry\")
  set(scratch \"${PROJECT_BINARY_DIR}/install-registry\")
  file(REMOVE_RECURSE \"\${scratch}\")
  execute_process(COMMAND \${CMAKE_COMMAND} -E env TREND_REGISTRY=\${scratch}
                          ASAN_OPTIONS=detect_leaks=0
                          $<TARGET_FILE:trendhost> register $<TARGET_FILE:Orrery> $<TARGET_FILE:Vantor>
                          $<TARGET_FILE:Lanyard> $<TARGET_FILE:Tessel>
                  RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"registering the libraries failed\")
  endif()
  file(MAKE_DIRECTORY \"\${registry}\")
  file(CHMOD \"\${registry}\" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(GLOB entries \"\${scratch}/*\")
  foreach(entry \${entries})
    get_filename_component(name \"\${entry}\" NAME)
    file(STRINGS \"\${entry}\" lines)
    set(text \"\")
    foreach(line \${lines})
      if(line MATCHES \"^Library=(.*)$\")
        get_filename_component(file \"\${CMAKE_MATCH_1}\" NAME)
        set(line \"Library=\${CMAKE_INSTALL_PREFIX}/${TREND_INSTALL_MODULEDIR}/\${file}\")
      endif()
      string(APPEND text \"\${line}\\n\")
    endforeach()
    message(STATUS \"Registering: \${registry}/\${name}\")
    file(WRITE \"\${registry}/\${name}\" \"\${text}\")
    file(CHMOD \"\${registry}/\${name}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
         WORLD_READ)
  endforeach()
  file(REMOVE_RECURSE \"\${scratch}\")
")

# cpack -G DEB: a Debian package that installs, registers and removes cleanly (the
# registrations are files of the package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trend-libraries)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Trend and capacity-forecasting libraries with the trendhost command")
set(CPACK_PACKAGE_CONTACT "Trend libraries developers <trend-dev@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, libcurl4, libdate-tz3, libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqliteodbc | odbc-postgresql | odbc-mariadb, gnuplot-nox")
include(CPack)
