# The Debian package of the host's tools (korvo-dmi): CPack's DEB generator over what
# `cmake --install` puts in place, with the maintainer scripts that make and remove the system
# user dmi-snmp.service runs as. Built from the release tree: `cpack --preset host-release`.
set(KORVO_PACKAGE_NAME korvo-dmi)
# The system user of dmi-snmp.service: the unit and the maintainer scripts are written with it.
set(KORVO_SERVICE_USER dmi-snmp)

# What Debian expects beside the programs: the copyright, the changelog (gzip -9n, as policy
# asks of it and of the manual pages), and the reference documents.
set(KORVO_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KORVO_PACKAGE_NAME})
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND gzip -9n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
    VERBATIM)
add_custom_target(korvo_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${KORVO_PACKAGE_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KORVO_PACKAGE_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${KORVO_PACKAGE_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")

# The maintainer scripts, and the conffiles: every file installed under /etc.
foreach(script postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script}
                   @ONLY)
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles
     "${KORVO_ENVIRONMENT_FILE}\n${KORVO_SNMPD_DROPIN}\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KORVO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_CONTACT "KORVO DMI agent developers <korvo-dmi@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DMI components of the KORVO adapters over SNMP, and their console")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "dmi-snmp serves every component of a DMI service provider as an AgentX
subagent of the machine's snmpd (a systemd unit, sandboxed, run as the system
user dmi-snmp), with the component's MIB, an snmp.conf that loads it in every
Net-SNMP command, snmpd's drop-in and a Prometheus snmp_exporter module.

dmicli is the management console of the service provider (reads, writes,
walks, counter rates, events, its log); korvo-adapter is the simulated KORVO
adapter pair behind the agent's control device.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, snmpd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus-snmp-exporter")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles ${CMAKE_BINARY_DIR}/packaging/postinst
    ${CMAKE_BINARY_DIR}/packaging/prerm ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
