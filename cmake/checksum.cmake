# Writes PROGRAM.sha256 in the format "sha256sum -c" reads: the checksum, two
# blanks and the file's name.
#   cmake -DPROGRAM=path/pendrel.exe -P checksum.cmake
file(SHA256 "${PROGRAM}" checksum)
get_filename_component(name "${PROGRAM}" NAME)
file(WRITE "${PROGRAM}.sha256" "${checksum}  ${name}\n")
