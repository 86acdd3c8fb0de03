package com.vendor.billing;

import com.legacy.text.Formatter;
import java.util.ArrayList;
import java.util.List;

/** A third-party class, compiled against the old com.legacy.text API. */
public final class Invoice {
    /** One line of the invoice. */
    public record Line(String item, long cents) {
        String render(Formatter formatter) {
            return Formatter.pad(item, 24) + " " + formatter.money(cents);
        }
    }

    private final Formatter formatter;
    private final List<Line> lines = new ArrayList<>();

    public Invoice(String currency) {
        formatter = new Formatter(currency);
    }

    public Invoice add(String item, long cents) {
        lines.add(new Line(item, cents));
        return this;
    }

    public String render() {
        StringBuilder out = new StringBuilder(License.banner()).append('\n');
        long total = 0;
        for (Line line : lines) {
            out.append(line.render(formatter)).append('\n');
            total += line.cents();
        }
        return out.append(Formatter.pad("Total", 24)).append(' ').append(formatter.money(total)).toString();
    }
}
