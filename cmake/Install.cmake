# Install rules and the Debian package (cpack -G DEB).
#
#   cmake --install build                           # into the system, prefix /usr
#   DESTDIR=$PWD/root cmake --install build         # into a staging root
#   cmake --install build --prefix $PWD/root        # everything below root/
#   cpack -G DEB --config build/CPackConfig.cmake   # kestrova_<version>_<arch>.deb
#
# kstd reads /etc/kst/kstd.ini and writes /var/run/kstd.pid whatever the
# prefix, so it belongs to the system like a distribution's programs: the
# default prefix is /usr. The files of /etc, /var and the systemd unit follow
# the prefix given at install time: below the prefix for any prefix other
# than /usr, so that an install into a scratch directory never writes to the
# machine's own /etc.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/usr" CACHE PATH "Install path prefix" FORCE)
endif()
include(GNUInstallDirs)

set(KST_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KST_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
# Debian's web servers run CGI programs from /usr/lib/cgi-bin, also on
# multiarch systems.
set(KST_CGI_DIR "lib/cgi-bin")
# An empty directory to install as /var/log/kst.
file(MAKE_DIRECTORY ${KST_PACKAGING_OUT}/empty/kst)

# Programs and the library.
install(TARGETS kstd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS kstsend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kstmon RUNTIME DESTINATION ${KST_CGI_DIR})
install(TARGETS vessa LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/emi/vessa.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config file, written at install time for the prefix of that install.
get_target_property(KST_VESSA_VERSION vessa VERSION)
install(CODE "
  set(KST_VESSA_VERSION \"${KST_VESSA_VERSION}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  configure_file(\"${KST_PACKAGING_DIR}/vessa.pc.in\" \"${KST_PACKAGING_OUT}/pc/vessa.pc\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" TYPE FILE
       FILES \"${KST_PACKAGING_OUT}/pc/vessa.pc\")
")

# Manual pages, compressed as Debian ships them.
find_program(KST_GZIP gzip REQUIRED)
set(KST_MAN_PAGES kstd.8 kstsend.1 kstmon.8)
set(KST_MAN_OUTPUTS)
foreach(page ${KST_MAN_PAGES})
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  add_custom_command(
    OUTPUT ${KST_PACKAGING_OUT}/${page}.gz
    COMMAND ${KST_GZIP} -9 -n -c ${KST_PACKAGING_DIR}/${page} > ${KST_PACKAGING_OUT}/${page}.gz
    DEPENDS ${KST_PACKAGING_DIR}/${page}
    COMMENT "Compressing the manual page ${page}")
  list(APPEND KST_MAN_OUTPUTS ${KST_PACKAGING_OUT}/${page}.gz)
  install(FILES ${KST_PACKAGING_OUT}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(kst_man_pages ALL DEPENDS ${KST_MAN_OUTPUTS})

install(FILES ${KST_PACKAGING_DIR}/lighttpd-kstmon.conf
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${KST_PACKAGING_DIR}/kstd.ini
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# /etc, /var and the unit. `kst_root` is "" for the prefix /usr (the system)
# and the prefix itself otherwise; file(INSTALL) adds DESTDIR.
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set(kst_root "")
  else()
    set(kst_root "${CMAKE_INSTALL_PREFIX}")
  endif()
]])
install(CODE "set(kst_packaging \"${KST_PACKAGING_DIR}\")\nset(kst_empty \"${KST_PACKAGING_OUT}/empty\")")
install(CODE [[
  file(INSTALL DESTINATION "${kst_root}/lib/systemd/system" TYPE FILE
       FILES "${kst_packaging}/kstd.service")
  file(INSTALL DESTINATION "${kst_root}/etc/logrotate.d" TYPE FILE
       RENAME kstd FILES "${kst_packaging}/kstd.logrotate")
  # The logs may hold personal data.
  file(INSTALL DESTINATION "${kst_root}/var/log" TYPE DIRECTORY
       FILES "${kst_empty}/kst"
       DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
  # The store (Store/Path) holds phone numbers and texts too: root only.
  file(INSTALL DESTINATION "${kst_root}/var/lib" TYPE DIRECTORY
       FILES "${kst_empty}/kst"
       DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  # The configuration and the daemon's environment are the administrator's:
  # an existing file is kept (the package marks them as conffiles instead).
  foreach(kst_conf "etc/kst/kstd.ini:kstd.ini" "etc/default/kstd:kstd.default")
    string(REPLACE ":" ";" kst_conf "${kst_conf}")
    list(GET kst_conf 0 kst_target)
    list(GET kst_conf 1 kst_source)
    set(kst_path "$ENV{DESTDIR}${kst_root}/${kst_target}")
    if(EXISTS "${kst_path}")
      message(STATUS "Keeping: ${kst_path}")
    else()
      get_filename_component(kst_dir "${kst_root}/${kst_target}" DIRECTORY)
      get_filename_component(kst_name "${kst_target}" NAME)
      file(INSTALL DESTINATION "${kst_dir}" TYPE FILE RENAME "${kst_name}"
           FILES "${kst_packaging}/${kst_source}")
    endif()
  endforeach()
]])

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Kestrova developers")
set(CPACK_PACKAGE_CONTACT "Kestrova developers <kestrova@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMS gateway daemon with EMI/UCP and GSM modem senders")
set(CPACK_PACKAGE_DESCRIPTION "\
kstd queues short messages that clients hand to it over CORBA and sends
them through an SMSC (EMI/UCP over TCP) or a GSM modem, with delivery
confirmations by e-mail and commands run for received messages. The package
also holds the client kstsend, the statistics CGI kstmon and libvessa, the
EMI/UCP client library, with its header and pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install code above decides on /etc and /var by the prefix, so the
# staging root must come through DESTDIR with the real prefix; the package
# is always rooted at /usr, whatever prefix this build was configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time libraries (omniORB, gsmlib, the C++ runtime) from the programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/emi)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd | httpd-cgi")
# libvessa is a shared library: the dynamic linker's cache is refreshed.
foreach(control conffiles triggers)
  configure_file(${KST_PACKAGING_DIR}/debian/${control} ${KST_PACKAGING_OUT}/debian/${control} COPYONLY)
endforeach()
foreach(script postinst prerm postrm)
  file(COPY ${KST_PACKAGING_DIR}/debian/${script} DESTINATION ${KST_PACKAGING_OUT}/debian
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${KST_PACKAGING_OUT}/debian/conffiles
  ${KST_PACKAGING_OUT}/debian/triggers
  ${KST_PACKAGING_OUT}/debian/postinst
  ${KST_PACKAGING_OUT}/debian/prerm
  ${KST_PACKAGING_OUT}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
