package com.vendor.billing;

/** A third-party class that must load exactly as shipped, so the application excludes it. */
public final class License {
    private License() {
    }

    public static String banner() {
        return "Billing by Vendor Inc. (licensed copy)";
    }
}
