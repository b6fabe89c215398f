# SPDX-License-Identifier: MIT
# Reads the version resource back from a built DLL, byte by byte, and checks
# it: the fixed part (signature, file and product version, the DLL file
# type) and the strings a user sees in the file's properties.
# -DLIBRARY=<dll> -DVERSION=<x.y.z> -DDESCRIPTION=<FileDescription>
# -DVENDOR=<CompanyName> -DCOPYRIGHT=<LegalCopyright>
#
# The resource is stored as written in the .rsrc section: a VS_VERSIONINFO
# block whose key "VS_VERSION_INFO" (UTF-16LE), padded to 32 bits, is
# followed by VS_FIXEDFILEINFO, and String entries "key\0<pad>value\0".
file(READ ${LIBRARY} dll HEX)

# The UTF-16LE bytes of an ASCII string, as lower-case hex.
function(utf16 text variable)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${variable} ${hex} PARENT_SCOPE)
endfunction()

# A little-endian 32-bit number at byte `offset` of a hex string.
function(read_dword hex offset variable)
  math(EXPR at "${offset} * 2")
  string(SUBSTRING ${hex} ${at} 8 bytes)
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" big_endian ${bytes})
  math(EXPR value "0x${big_endian}")
  set(${variable} ${value} PARENT_SCOPE)
endfunction()

utf16("VS_VERSION_INFO" key)
string(REGEX MATCH "${key}0000(0000)?bd04effe.*" info "${dll}")
if(NOT info)
  message(FATAL_ERROR "${LIBRARY} has no version resource")
endif()
string(FIND "${info}" "bd04effe" fixed)
math(EXPR fixed "${fixed} / 2")

string(REPLACE "." ";" parts ${VERSION})
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
math(EXPR expected_ms "(${major} << 16) | ${minor}")
math(EXPR expected_ls "${patch} << 16")
set(fields file_ms file_ls product_ms product_ls flags_mask flags os type)
# After the signature comes the structure's version, then the fields.
math(EXPR offset "${fixed} + 4")
foreach(field IN LISTS fields)
  math(EXPR offset "${offset} + 4")
  read_dword(${info} ${offset} ${field})
endforeach()
foreach(field IN ITEMS file product)
  if(NOT ${field}_ms EQUAL expected_ms OR NOT ${field}_ls EQUAL expected_ls)
    message(FATAL_ERROR "${field} version is ${${field}_ms}/${${field}_ls}; expected ${VERSION}")
  endif()
endforeach()
# VFT_DLL, for a Windows NT 32- or 64-bit program (VOS_NT_WINDOWS32).
if(NOT type EQUAL 2 OR NOT os EQUAL 0x40004)
  message(FATAL_ERROR "file type ${type}, system ${os}: expected a DLL (2) for 0x40004")
endif()

# The licence, as the file's properties show it.
if(NOT COPYRIGHT MATCHES "^Copyright \\(c\\) [0-9]+ .*MIT License")
  message(FATAL_ERROR "LegalCopyright \"${COPYRIGHT}\" names no copyright holder or no MIT License")
endif()
set(strings "CompanyName=${VENDOR}" "FileDescription=${DESCRIPTION}" "FileVersion=${VERSION}"
            "LegalCopyright=${COPYRIGHT}"
            "OriginalFilename=velkorthread.dll" "ProductName=velkorthread"
            "ProductVersion=${VERSION}")
foreach(entry IN LISTS strings)
  string(REGEX REPLACE "=.*" "" name "${entry}")
  string(REGEX REPLACE "^[^=]*=" "" value "${entry}")
  utf16("${name}" name_hex)
  utf16("${value}" value_hex)
  # The key, its terminator and padding, the value and its terminator.
  if(NOT info MATCHES "${name_hex}0000(0000)?${value_hex}0000")
    message(FATAL_ERROR "${LIBRARY}: ${name} is not \"${value}\"")
  endif()
  message(STATUS "${name}: ${value}")
endforeach()
message(STATUS "${LIBRARY}: version resource ${VERSION} as built")
