# Fails when a layer below the windows includes a Qt Widgets header: the
# engine and everything under it link Qt Core only, so that the command line
# needs no display. Run as: cmake -DSRC=<src folder> -P CheckLayers.cmake
set(_bad "")
foreach(dir common rules package device state tables run)
  file(GLOB_RECURSE _files ${SRC}/${dir}/*.h ${SRC}/${dir}/*.cpp)
  foreach(f ${_files})
    file(STRINGS ${f} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*<(QtWidgets/|QtGui/)?(QWidget|QDialog|QMessageBox|QMainWindow|QLabel|QPushButton|QApplication|QGuiApplication|QProgressBar|QProgressDialog|QComboBox|QFileDialog|QScreen|QFont|QFontMetrics|QPainter|QMenu|QAction|QLayout|QVBoxLayout|QHBoxLayout|QLineEdit|QListWidget|QTableWidget|QPlainTextEdit|QtWidgets)>")
    if(_lines)
      list(APPEND _bad "${f}: ${_lines}")
    endif()
  endforeach()
endforeach()
if(_bad)
  list(JOIN _bad "\n  " _text)
  message(FATAL_ERROR "Widget or GUI headers below forms/ and app/:\n  ${_text}")
endif()
