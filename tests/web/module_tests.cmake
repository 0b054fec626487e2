# Web.ModuleMatchesNative: the WebAssembly l3 in web/dist/ (preset wasm), driven through its
# worker under node, gives the native l3's bytes; skipped (77) without node or the build.
find_program(L3_NODE node)
if(L3_NODE)
  add_test(NAME Web.ModuleMatchesNative
           COMMAND ${L3_NODE} ${CMAKE_CURRENT_LIST_DIR}/module_test.mjs $<TARGET_FILE:l3>
                   ${PROJECT_SOURCE_DIR}/web/dist ${PROJECT_SOURCE_DIR}/tests/data)
else()
  add_test(NAME Web.ModuleMatchesNative
           COMMAND sh -c "echo 'skipped: needs node (Debian packages emscripten nodejs)'; exit 77")
endif()
set_tests_properties(Web.ModuleMatchesNative PROPERTIES SKIP_RETURN_CODE 77 LABELS web)
