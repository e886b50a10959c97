# Records a native library's SHA-256 and size beside it in the jar (FILE.sha256: "HASH SIZE"), so
# that loading it never has to hash it. usage: cmake -DIN=FILE -DOUT=FILE.sha256 -P hash_resource.cmake
file(SHA256 "${IN}" hash)
file(SIZE "${IN}" size)
file(WRITE "${OUT}" "${hash} ${size}\n")
