# cmake --install: the usual Linux layout under the prefix
#   lib/libquorvane.so                  (lib/<multiarch>/ when the prefix is /usr)
#   share/java/quorvane-<v>.jar         and the link share/java/quorvane.jar
#   share/maven-repo/qv/vantrel/quorvane/<v>/quorvane-<v>.jar, .pom, -sources.jar, -javadoc.jar
#   and the same for quorvane-junit (the test run's agents) when it is built
# and, only when asked for, the same files straight into a local Maven
# repository, with no Maven plugin needed:
#   cmake --install <build> --component maven-local --prefix ~/.m2/repository
include(GNUInstallDirs)

install(TARGETS quorvane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

# quorvane_install_jar(<artifact> <jar> <pom> <sources jar> <javadoc jar>): one
# artifact of group qv.vantrel at the project's version, into share/java (with the
# link <artifact>.jar) and share/maven-repo, and into the maven-local component.
function(quorvane_install_jar ARTIFACT JAR POM SOURCES JAVADOC)
  set(_version ${PROJECT_VERSION})
  set(_jar_name ${ARTIFACT}-${_version}.jar)
  set(_maven_path qv/vantrel/${ARTIFACT}/${_version})

  install(FILES ${JAR} DESTINATION ${CMAKE_INSTALL_DATADIR}/java RENAME ${_jar_name} COMPONENT runtime)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
  file(CREATE_LINK ${_jar_name} ${CMAKE_BINARY_DIR}/install-links/${ARTIFACT}.jar SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/${ARTIFACT}.jar DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT runtime)

  install(FILES ${JAR} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path} RENAME ${_jar_name} COMPONENT runtime)
  install(FILES ${POM} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path}
    RENAME ${ARTIFACT}-${_version}.pom COMPONENT runtime)

  install(FILES ${JAR} DESTINATION ${_maven_path} RENAME ${_jar_name} COMPONENT maven-local EXCLUDE_FROM_ALL)
  install(FILES ${POM} DESTINATION ${_maven_path}
    RENAME ${ARTIFACT}-${_version}.pom COMPONENT maven-local EXCLUDE_FROM_ALL)

  # Sources and API documentation beside the jar, under the names IDEs look for.
  foreach(_classifier sources javadoc)
    string(TOUPPER ${_classifier} _upper)
    set(_file ${${_upper}})
    set(_name ${ARTIFACT}-${_version}-${_classifier}.jar)
    install(FILES ${_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/maven-repo/${_maven_path} RENAME ${_name} COMPONENT runtime)
    install(FILES ${_file} DESTINATION ${_maven_path} RENAME ${_name} COMPONENT maven-local EXCLUDE_FROM_ALL)
  endforeach()
endfunction()

if(TARGET quorvane_jar)
  get_target_property(_jar quorvane_jar JAR_FILE)
  quorvane_install_jar(${QUORVANE_MAVEN_ARTIFACT} ${_jar} ${QUORVANE_POM} ${QUORVANE_SOURCES_JAR} ${QUORVANE_JAVADOC_JAR})
endif()
if(TARGET quorvane_junit_jar)
  quorvane_install_jar(${QUORVANE_JUNIT_ARTIFACT} ${QUORVANE_JUNIT_JAR} ${QUORVANE_JUNIT_POM}
    ${QUORVANE_JUNIT_SOURCES_JAR} ${QUORVANE_JUNIT_JAVADOC_JAR})
endif()
