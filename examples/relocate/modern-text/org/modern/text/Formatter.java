package org.modern.text;

import java.math.BigDecimal;
import java.text.NumberFormat;
import java.util.Currency;
import java.util.Locale;

/** The text library the application ships today: same methods, new package. */
public final class Formatter {
    private final NumberFormat format;

    public Formatter(String currency) {
        format = NumberFormat.getCurrencyInstance(Locale.UK);
        format.setCurrency(Currency.getInstance(currency));
    }

    public String money(long cents) {
        return format.format(BigDecimal.valueOf(cents, 2));
    }

    public static String pad(String text, int width) {
        return text.length() >= width ? text : text + ".".repeat(width - text.length());
    }
}
