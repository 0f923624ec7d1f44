# The tools and their man pages (compressed, as Debian installs them).
# kt-host lives beside the module and its catalogue, so it finds both;
# bin/ holds a link to it.
set(KT_MAN_DIR ${PROJECT_BINARY_DIR}/man)
find_program(KT_GZIP gzip REQUIRED)
foreach(tool IN ITEMS kt-host kt-virtual-cutter kt-cloud-service)
    add_custom_command(OUTPUT ${KT_MAN_DIR}/${tool}.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${KT_MAN_DIR}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${tool}> -DNAME=${tool} -DSECTION=1
                -DVERSION=${PROJECT_VERSION} -DOUTPUT=${KT_MAN_DIR}/${tool}.1 -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        COMMAND ${KT_GZIP} -9nf ${KT_MAN_DIR}/${tool}.1
        DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        COMMENT "Man page of ${tool}")
    list(APPEND KT_MAN_PAGES ${KT_MAN_DIR}/${tool}.1.gz)
endforeach()
add_custom_target(kt_man_pages ALL DEPENDS ${KT_MAN_PAGES})
install(FILES ${KT_MAN_DIR}/kt-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
install(FILES ${KT_MAN_DIR}/kt-virtual-cutter.1.gz ${KT_MAN_DIR}/kt-cloud-service.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Simulators)
install(TARGETS kt-host RUNTIME DESTINATION ${KT_PLUGIN_INSTALL_DIR} COMPONENT Tools)
set_target_properties(kt-host PROPERTIES INSTALL_RPATH "$ORIGIN/..;$ORIGIN/../lib")
file(RELATIVE_PATH kt_host_link /${CMAKE_INSTALL_BINDIR} /${KT_PLUGIN_INSTALL_DIR}/kt-host)
install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK ${kt_host_link} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kt-host\" SYMBOLIC)"
    COMPONENT Tools)
install(TARGETS kt-virtual-cutter kt-cloud-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Simulators)
set_target_properties(kt-virtual-cutter kt-cloud-service PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
