# Run after Corvex.exe is linked: ends the file with "00000000", the room the
# collection ID is written into (a stamped copy carries the server's ID
# there). Loaders ignore bytes after the last section.
if(NOT DEFINED EXE)
  message(FATAL_ERROR "EXE not set")
endif()
file(APPEND "${EXE}" "00000000")
