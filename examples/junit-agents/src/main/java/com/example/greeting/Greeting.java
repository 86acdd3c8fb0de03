package com.example.greeting;

/** The application's class, with a final method: no subclass can stub it, an agent can. */
public class Greeting {
    public final String text(String name) {
        return "Hello, " + name;
    }
}
