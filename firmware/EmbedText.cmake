# cmake -DINPUT=file -DOUTPUT=file.inc -P EmbedText.cmake
# Writes a text file as a C++ raw string literal, for an #include in an initialiser.
file(READ "${INPUT}" text)
file(WRITE "${OUTPUT}" "R\"(${text})\"\n")
