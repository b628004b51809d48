# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the install lies in its staging folder: the
# package's control files made from what it holds. Every file under /etc is a conffile;
# the maintainer scripts handle the systemd units it has (velm.service enabled and
# started). They are written into this run's own folder, so runs may go side by side.

set(staging "${CPACK_TEMPORARY_DIRECTORY}")
set(out "${CPACK_TOPLEVEL_DIRECTORY}/velm-control")
file(MAKE_DIRECTORY "${out}")

file(GLOB_RECURSE conffiles LIST_DIRECTORIES false RELATIVE "${staging}" "${staging}/etc/*")
list(SORT conffiles)
set(VELM_UNITS "")
set(VELM_MAIN_UNIT "")
foreach(unit_dir lib/systemd/system usr/lib/systemd/system)
  file(GLOB units RELATIVE "${staging}/${unit_dir}" "${staging}/${unit_dir}/*.service")
  list(SORT units)
  foreach(unit ${units})
    string(APPEND VELM_UNITS "${unit} ")
    if(unit STREQUAL "velm.service")
      set(VELM_MAIN_UNIT ${unit})
    endif()
  endforeach()
endforeach()
string(STRIP "${VELM_UNITS}" VELM_UNITS)

set(extra)
foreach(script postinst prerm postrm)
  configure_file("${CPACK_VELM_SCRIPTS_DIR}/${script}.in" "${out}/${script}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
  list(APPEND extra "${out}/${script}")
endforeach()
if(conffiles)
  list(TRANSFORM conffiles PREPEND /)
  list(JOIN conffiles "\n" text)
  file(WRITE "${out}/conffiles" "${text}\n")
  list(APPEND extra "${out}/conffiles")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${extra})
