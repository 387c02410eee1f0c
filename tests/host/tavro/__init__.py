"""Stand-in for the host pipeline's own ``tavro`` package (tests and the example).

A host whose ``tavro`` is a regular package and that lives apart from the
installed helpers (a source checkout on ``sys.path``, another environment
folder) extends its package path like this, so ``tavro.helpers.<module>``
is found wherever the helpers are installed.
"""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
