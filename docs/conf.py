"""Sphinx configuration of the user guide and the Python API reference.

Built by scripts/docs.sh, which passes the project version (CMake's) in
VELMOR_VERSION and puts the Doxygen reference of the C++ and C headers
beside the site, in cpp/.
"""

import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# autodoc imports the package from the source tree; importing it loads no
# library (that happens on first use).
sys.path.insert(0, os.path.join(_ROOT, "python"))

project = "libvelmor"
author = "the libvelmor developers"
copyright = "the libvelmor developers"
release = version = os.environ.get("VELMOR_VERSION", "unknown")

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
# Markdown headings become link targets, so the guide's pages can link to
# each other's sections.
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "alabaster"
html_title = f"libvelmor {release}"
html_show_sourcelink = False
