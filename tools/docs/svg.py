"""Boxes, lines and text as plain SVG: what every Git host's viewer shows as it is."""

FONT = "DejaVu Sans Mono, Menlo, Consolas, monospace"

# One colour per kind of region, the same in every figure.
FILL = {
    "code": "#cfe2f3",
    "data": "#d9ead3",
    "stack": "#fce5cd",
    "heap": "#fff2cc",
    "tables": "#d9d2e9",
    "hardware": "#e6e6e6",
    "free": "#ffffff",
    "fat": "#f4cccc",
    "directory": "#d0e0e3",
    "file": "#d9ead3",
}


def escape(text):
    return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class Drawing:
    def __init__(self, width, height, title):
        self.width = width
        self.height = height
        self.items = ["<title>%s</title>" % escape(title),
                      '<rect width="%d" height="%d" fill="#ffffff"/>' % (width, height)]

    def box(self, x, y, w, h, kind, dashed=False):
        dash = ' stroke-dasharray="4 3"' if dashed else ""
        self.items.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s" stroke="#444444"%s/>'
                          % (x, y, w, h, FILL[kind], dash))

    def line(self, x1, y1, x2, y2):
        self.items.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#444444"/>' % (x1, y1, x2, y2))

    def text(self, x, y, text, size=12, anchor="start", bold=False):
        weight = ' font-weight="bold"' if bold else ""
        self.items.append('<text x="%d" y="%d" font-size="%d" text-anchor="%s"%s>%s</text>'
                          % (x, y, size, anchor, weight, escape(text)))

    def svg(self):
        return ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
                'font-family="%s">\n%s\n</svg>\n'
                % (self.width, self.height, self.width, self.height, FONT, "\n".join(self.items)))
