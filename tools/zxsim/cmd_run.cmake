# zxsim run: the program itself, with its dialog template, on the simulated PC (the demo
# package is attached by app/CMakeLists.txt once resources/ has made it).
target_link_libraries(zxsim PRIVATE zx_app zx_dialog_script zx_program_icon zx_sim
                      zx_linux_backend)
target_sources(zxsim PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/run_screen.cpp
                             ${CMAKE_CURRENT_SOURCE_DIR}/screen_lines.cpp)
