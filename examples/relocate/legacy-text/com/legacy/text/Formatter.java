package com.legacy.text;

/**
 * The old text library, as the vendor compiled against it. The application no longer
 * ships it: this copy only exists so that the vendor jar can be built here.
 */
public final class Formatter {
    private final String currency;

    public Formatter(String currency) {
        this.currency = currency;
    }

    public String money(long cents) {
        return cents / 100 + "." + String.format("%02d", cents % 100) + " " + currency;
    }

    public static String pad(String text, int width) {
        return String.format("%-" + width + "s", text);
    }
}
