# cmake -DFROM=web -DTO=web/dist -P copy_page.cmake: copies the page's files (every .html,
# .css and .js in FROM, whichever exist now) into TO.
file(GLOB files ${FROM}/*.html ${FROM}/*.css ${FROM}/*.js)
file(MAKE_DIRECTORY ${TO})
foreach(f IN LISTS files)
  get_filename_component(name ${f} NAME)
  file(COPY_FILE ${f} ${TO}/${name} ONLY_IF_DIFFERENT)
endforeach()
