"""The images per class as an inline SVG bar chart, largest class first, so
a long tail shows as a slope; classes with at most RARE of the largest
class's images are drawn in another colour and never thinner than a line."""
from html import escape

RARE = 0.1
WIDTH, HEIGHT = 960, 220
LABELS_AT_MOST = 50  # more classes than this: names in the bars' tooltips only
LABEL_ROOM = 110
LOWEST_BAR = 2


def rare_classes(classes):
    largest = max(classes.values(), default=0)
    return {name for name, count in classes.items() if count <= RARE * largest}


def class_chart(classes):
    """The SVG element for {class: images}; "" without classes."""
    if not classes:
        return ""
    ordered = sorted(classes.items(), key=lambda item: (-item[1], item[0]))
    largest = ordered[0][1] or 1
    rare = rare_classes(classes)
    labelled = len(ordered) <= LABELS_AT_MOST
    step = WIDTH / len(ordered)
    bars = []
    for n, (name, count) in enumerate(ordered):
        height = max(LOWEST_BAR, HEIGHT * count / largest) if count else 0
        x, y = n * step, HEIGHT - height
        tip = f"<title>{escape(name)}: {count}</title>"
        bars.append(f'<rect class="{"rare" if name in rare else "bar"}" x="{x:.2f}" y="{y:.2f}" '
                    f'width="{max(step * 0.85, 0.5):.2f}" height="{height:.2f}">{tip}</rect>')
        if labelled:
            middle = x + step * 0.42
            bars.append(f'<text class="count" x="{middle:.2f}" y="{y - 3:.2f}">{count}</text>'
                        f'<text class="name" transform="translate({middle:.2f},{HEIGHT + 6}) rotate(60)">'
                        f'{escape(name[:16])}</text>')
    room = LABEL_ROOM if labelled else 4
    font = max(7.0, min(18.0, step * 0.4))
    return (f'<svg class="chart" viewBox="-4 {-font - 6:.0f} {WIDTH + 8} {HEIGHT + font + 6 + room:.0f}" role="img" '
            f'aria-label="images per class" style="font-size:{font:.1f}px">{"".join(bars)}</svg>')
