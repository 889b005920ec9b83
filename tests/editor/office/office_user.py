#!/usr/bin/python3
"""Does to the test's LibreOffice what its user would, over its UNO pipe.

Usage (Debian's /usr/bin/python3 with python3-uno):
  office_user.py PIPE save PATH           stores the open document in its own format (Ctrl+S)
  office_user.py PIPE close PATH          closes its window
  office_user.py PIPE text PATH           its body text, headers and footers as one text
  office_user.py PIPE convert SRC DST FILTER   writes SRC in another format (hidden, closed again)
Exit codes: 0 done, 1 not open or failed, 3 no LibreOffice on the pipe.
"""
import os
import sys

import uno
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException


def prop(name, value):
    p = PropertyValue()
    p.Name, p.Value = name, value
    return p


def find(desktop, path):
    url = uno.systemPathToFileUrl(path)
    for c in desktop.Components:
        if hasattr(c, "getURL") and c.getURL() == url:
            return c
    sys.stderr.write("not open: %s\n" % path)
    sys.exit(1)


def text_of(doc):
    parts = [doc.Text.getString()]
    for style in doc.StyleFamilies.getByName("PageStyles"):
        if style.HeaderIsOn:
            parts.append(style.HeaderText.getString())
        if style.FooterIsOn:
            parts.append(style.FooterText.getString())
    for t in doc.TextTables:
        parts += [t.getCellByName(n).getString() for n in t.getCellNames()]
    return "\n".join(parts)


def main():
    pipe, cmd, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
    try:
        ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
    except NoConnectException:
        return 3
    desktop = ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)
    if cmd == "save":
        find(desktop, rest[0]).store()
    elif cmd == "close":
        find(desktop, rest[0]).close(True)
    elif cmd == "text":
        sys.stdout.write(text_of(find(desktop, rest[0])))
    elif cmd == "convert":
        src, dst, filt = rest
        doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(src), "_blank", 0, (prop("Hidden", True),))
        doc.storeToURL(uno.systemPathToFileUrl(dst), (prop("FilterName", filt),))
        doc.close(True)
    else:
        return 2
    return 0


if __name__ == "__main__":
    rc = main()
    sys.stdout.flush()
    # The UNO bridge's threads can crash the interpreter's own shutdown: end at once.
    os._exit(rc)
