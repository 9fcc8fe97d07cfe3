# How the module is compiled: the one list of sources and the one set of
# flags.  The Makefile includes this file; setup.py (pip) reads it too, so
# keep to plain `NAME := words` lines, one per name.

CXX := g++
CXXFLAGS := -std=c++17 -O2 -g -fPIC -fvisibility=hidden -Wall -Wextra -Wshadow -Werror
SOURCES := yaml_conf/function.cpp yaml_conf/merge.cpp yaml_conf/module.cpp yaml_conf/names.cpp yaml_conf/tags.cpp
HEADERS := yaml_conf/function.h yaml_conf/names.h yaml_conf/protocol.h yaml_conf/recursion.h yaml_conf/ref.h yaml_conf/subsystems.h
