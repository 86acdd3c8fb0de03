# cmake --install: the usual Linux layout under the prefix
#   lib/libquorvane.so                  (lib/<multiarch>/ when the prefix is /usr)
#   share/java/quorvane-<v>.jar         and the link share/java/quorvane.jar
#   share/maven-repo/qv/vantrel/quorvane/<v>/quorvane-<v>.jar, .pom, -sources.jar, -javadoc.jar
# and, only when asked for, the same files straight into a local Maven
# repository, with no Maven plugin needed:
#   cmake --install <build> --component maven-local --prefix ~/.m2/repository
include(GNUInstallDirs)

install(TARGETS quorvane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

if(TARGET quorvane_jar)
  set(_version ${PROJECT_VERSION})
  set(_jar_name ${QUORVANE_MAVEN_ARTIFACT}-${_version}.jar)
  set(_maven_path qv/vantrel/${QUORVANE_MAVEN_ARTIFACT}/${_version})
  get_target_property(_jar quorvane_jar JAR_FILE)

  install(FILES ${_jar} DESTINATION ${CMAKE_INSTALL_DATADIR}/java RENAME ${_jar_name} COMPONENT runtime)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
  file(CREATE_LINK ${_jar_name} ${CMAKE_BINARY_DIR}/install-links/quorvane.jar SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/quorvane.jar DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT runtime)

  install(FILES ${_jar} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path} RENAME ${_jar_name} COMPONENT runtime)
  install(FILES ${QUORVANE_POM} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path}
    RENAME ${QUORVANE_MAVEN_ARTIFACT}-${_version}.pom COMPONENT runtime)

  install(FILES ${_jar} DESTINATION ${_maven_path} RENAME ${_jar_name} COMPONENT maven-local EXCLUDE_FROM_ALL)
  install(FILES ${QUORVANE_POM} DESTINATION ${_maven_path}
    RENAME ${QUORVANE_MAVEN_ARTIFACT}-${_version}.pom COMPONENT maven-local EXCLUDE_FROM_ALL)

  # Sources and API documentation beside the jar, under the names IDEs look for.
  foreach(_classifier sources javadoc)
    string(TOUPPER ${_classifier} _upper)
    set(_file ${QUORVANE_${_upper}_JAR})
    set(_name ${QUORVANE_MAVEN_ARTIFACT}-${_version}-${_classifier}.jar)
    install(FILES ${_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path} RENAME ${_name} COMPONENT runtime)
    install(FILES ${_file} DESTINATION ${_maven_path} RENAME ${_name} COMPONENT maven-local EXCLUDE_FROM_ALL)
  endforeach()
endif()
