# Writes the SHA-256 sum file for the release exe and copies the licences of
# linked third-party code beside it.
file(SHA256 "${DIR}/OrvUpdaterW7.exe" sum)
file(WRITE "${DIR}/OrvUpdaterW7.exe.sha256" "${sum}  OrvUpdaterW7.exe\n")
foreach(lic IN LISTS LICENSES)
  if(lic)
    string(REPLACE "|" ";" pair "${lic}")
    list(GET pair 0 name)
    list(GET pair 1 src)
    configure_file("${src}" "${DIR}/${name}" COPYONLY)
  endif()
endforeach()
