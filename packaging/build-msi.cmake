# Builds cobalin.msi from cobalin.wxs, run as a script at build time:
#   cmake -DWIXL=... -DMSIBUILD=... -DWXS=... -DMODULE=... -DOUTPUT=... [-DVERSION_OVERRIDE=...]
#         -P build-msi.cmake
# The package's version is the module's file version, read from the VS_FIXEDFILEINFO of the
# built module's VERSIONINFO resource. wixl cannot express two things the package needs, so
# they are set in its tables afterwards with msibuild: the file's version in the File table,
# and an upgrade range that includes its own version (a rebuilt package of the same version
# has a new product code and must still replace the installed one).

foreach(var WIXL MSIBUILD WXS MODULE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "build-msi.cmake: ${var} is not set")
  endif()
endforeach()

# VS_FIXEDFILEINFO: signature 0xFEEF04BD, structure version, then the file version as two
# little-endian DWORDs (major << 16 | minor, build << 16 | private).
file(READ "${MODULE}" hex HEX)
string(FIND "${hex}" "bd04effe" at)
math(EXPR odd "${at} % 2")
if(at LESS 0 OR odd)
  message(FATAL_ERROR "${MODULE} has no version information (VS_FIXEDFILEINFO not found)")
endif()
function(word_at offset out)   # a little-endian 16-bit word at `offset` bytes after `at`
  math(EXPR p "${at} + 2 * ${offset}")
  string(SUBSTRING "${hex}" ${p} 4 w)
  string(SUBSTRING "${w}" 0 2 lo)
  string(SUBSTRING "${w}" 2 2 hi)
  math(EXPR v "0x${hi}${lo}")
  set(${out} ${v} PARENT_SCOPE)
endfunction()
word_at(10 major)
word_at(8 minor)
word_at(14 build)
word_at(12 private)
set(version "${major}.${minor}.${build}.${private}")
# A test builds a package of a higher version from the same module to try an upgrade.
if(DEFINED VERSION_OVERRIDE)
  set(version "${VERSION_OVERRIDE}")
endif()
message(STATUS "cobalin.msi: module version ${version}")

set(temporary "${OUTPUT}.partial")
file(REMOVE "${temporary}")
# wixl finds the files it packs by names relative to its working directory.
get_filename_component(module_dir "${MODULE}" DIRECTORY)
get_filename_component(module_name "${MODULE}" NAME)
execute_process(COMMAND "${WIXL}" -a x86 -D "Version=${version}" -D "ModuleFile=${module_name}"
                        -o "${temporary}" "${WXS}"
                WORKING_DIRECTORY "${module_dir}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wixl failed (${rc})")
endif()
# The replaced range again, with both ends included (0x300: msidbUpgradeAttributesVersionMinInclusive
# and msidbUpgradeAttributesVersionMaxInclusive); Attributes is part of the row's key, so the row
# is written anew.
file(READ "${WXS}" wxs)
if(NOT wxs MATCHES "UpgradeCode=\"([0-9A-Fa-f-]+)\"")
  message(FATAL_ERROR "${WXS} names no UpgradeCode")
endif()
set(upgrade_code "{${CMAKE_MATCH_1}}")
execute_process(COMMAND "${MSIBUILD}" "${temporary}"
                        -q "UPDATE File SET Version = '${version}' WHERE File = 'cobalin.dll'"
                        -q "DELETE FROM Upgrade WHERE ActionProperty = 'COBALIN_REPLACED'"
                        -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('${upgrade_code}', '0.0.0', '${version}', 768, 'COBALIN_REPLACED')"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msibuild could not complete the package's tables (${rc})")
endif()
file(RENAME "${temporary}" "${OUTPUT}")
