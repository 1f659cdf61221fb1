# Windows looks for a DLL that is not a KnownDLL in the executable's folder
# before the system folder, and imports are resolved before the program's
# first line runs. So the system DLLs that are not KnownDLLs (and those a run
# may never need) are delay-loaded: each is loaded on first use, after the
# program has restricted the search, through the entry's hook that loads it
# from the system folder. Their delay-load import libraries are made from the
# toolchain's own: a definition file per DLL, from the thunks its import
# library holds. ORV_DELAY_LIBS lists them; the rest of the system libraries
# (all KnownDLLs) stay ordinary imports.
set(ORV_DELAY_LOADED_DLLS bcrypt comctl32 rstrtmgr shell32 urlmon version winhttp wininet)
set(ORV_DELAY_LIBS "")
set(ORV_DELAY_DIR ${CMAKE_BINARY_DIR}/delayload)
file(MAKE_DIRECTORY ${ORV_DELAY_DIR})
foreach(name IN LISTS ORV_DELAY_LOADED_DLLS)
  set(lib ${ORV_DELAY_DIR}/lib${name}_delay.a)
  if(NOT EXISTS ${lib})
    find_library(ORV_IMPORT_LIB_${name} ${name} REQUIRED NO_CACHE)
    execute_process(COMMAND ${CMAKE_NM} -g ${ORV_IMPORT_LIB_${name}} OUTPUT_VARIABLE symbols
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "[^\n]* T [^\n]+" thunks "${symbols}")
    set(def "LIBRARY ${name}.dll\nEXPORTS\n")
    foreach(thunk IN LISTS thunks)
      string(REGEX REPLACE ".* T " "" symbol "${thunk}")
      # 32-bit C names carry a leading underscore; -k below drops the "@n".
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(REGEX REPLACE "^_" "" symbol "${symbol}")
      endif()
      string(APPEND def "${symbol}\n")
    endforeach()
    file(WRITE ${ORV_DELAY_DIR}/${name}.def "${def}")
    execute_process(COMMAND ${CMAKE_DLLTOOL} -k --input-def ${name}.def
                            --output-delaylib lib${name}_delay.a --dllname ${name}.dll
                    WORKING_DIRECTORY ${ORV_DELAY_DIR} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  list(APPEND ORV_DELAY_LIBS ${lib})
endforeach()
