package qvjunit.app;

/** An application class whose final method the tests rewrite through Byte Buddy's agent. */
public class Greeting {
    public final String text() {
        return "hello";
    }
}
